#pragma once

// The failure a call raised, for tests that check what a refusal says.

#include <gtest/gtest.h>

#include <exception>
#include <optional>

namespace bxfr::test {

// The `Error` that `call` raised; nothing, and a test failure, when it returned or raised
// something else.
template <typename Error, typename Call>
std::optional<Error> Raised(Call&& call) {
    try {
        call();
    } catch (const Error& error) {
        return error;
    } catch (const std::exception& other) {
        ADD_FAILURE() << "raised another failure: " << other.what();
        return std::nullopt;
    }
    ADD_FAILURE() << "returned instead of failing";
    return std::nullopt;
}

}  // namespace bxfr::test
