// Which names a server lists can be taken as entries of their folder.

#include "engine/entry_names.h"

#include "engine/send_walk.h"

namespace bxfr::engine {

bool IsDots(const std::string& name) { return name == "." || name == ".."; }

std::string UnsafeEntryName(const std::string& name) {
    if (name.empty()) {
        return "the name is empty";
    }
    if (IsDots(name)) {
        return "the name is the folder itself or its parent";
    }
    if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos) {
        return "the name holds a path separator";
    }
    if (name.find('\0') != std::string::npos) {
        return "the name holds a NUL character";
    }
    // No such name can be asked for again on the control connection.
    if (HoldsControlCharacter(name)) {
        return "the name holds a control character";
    }
    return {};
}

}  // namespace bxfr::engine
