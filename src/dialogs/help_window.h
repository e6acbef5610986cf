#pragma once

// The built-in help: a topic's page, and the help window that shows it beside the wizard.

#include <QString>

class QWidget;

namespace bxfr::dialogs {

// Shows a help topic ("server.htm", ...) built into the program in the help window, which
// stays open beside the wizard and follows the page whose help is asked for.
void ShowHelpTopic(QWidget* parent, const QString& topic);

// The topic's page as HTML; empty for a topic the program does not have.
QString HelpTopicHtml(const QString& topic);

}  // namespace bxfr::dialogs
