#pragma once

// An environment variable set (or unset) for one test, put back as it was afterwards.

#include <cstdlib>
#include <optional>
#include <string>

namespace bxfr::test {

class ScopedEnv {
public:
    // Nothing as the value unsets the variable.
    ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace bxfr::test
