#pragma once

#include "support/qt_helpers.h"
