#pragma once

// The one web request the run makes: the upgrade check.

#include <cstddef>
#include <string>

namespace bxfr::engine {

class WebRequest {
public:
    virtual ~WebRequest() = default;
    // The first `maxBytes` of the page. Raises InternetError; an HTTP refusal leaves its status
    // and text as the calling thread's last reply.
    virtual std::string Fetch(const std::string& url, std::size_t maxBytes) = 0;
};

}  // namespace bxfr::engine
