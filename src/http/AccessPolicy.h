// Which web pages may read the agent's replies: every origin ("*"), or only the origins given
// with -o. With a list, a page of another origin gets 403, and a Host that is not the agent's
// own gets 421: without that check, a page could rebind its own host name to 127.0.0.1 and
// read the agent as a same-origin page, past the list.
#pragma once

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <event2/http.h>
#include <event2/keyvalq_struct.h>

namespace Http {

struct AccessPolicy {
    std::vector<std::string> origins;    // empty: every origin
    std::vector<std::string> hostNames;  // the names the agent answers to, lower case
    long port = 0;

    bool restricted() const { return !origins.empty(); }
};

struct DefaultPort {
    const char* scheme;
    const char* suffix;
};
constexpr DefaultPort kDefaultPorts[] = {{"http://", ":80"}, {"https://", ":443"}};

// An origin as browsers write it in the Origin header: scheme and host in lower case, no
// trailing slash. Empty when `text` is no origin at all.
inline std::string normalisedOrigin(const std::string& text) {
    if (text == "null") return text;
    const size_t scheme = text.find("://");
    if (scheme == std::string::npos || scheme == 0) return std::string();
    std::string origin;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = text[i];
        if (c <= 0x20 || c >= 0x7f) return std::string();
        origin += static_cast<char>(tolower(c));
    }
    if (!origin.empty() && origin.back() == '/') origin.pop_back();
    // Browsers leave the scheme's default port out.
    for (const DefaultPort& known : kDefaultPorts) {
        const size_t length = strlen(known.suffix);
        if (origin.rfind(known.scheme, 0) == 0 && origin.size() > length &&
            origin.compare(origin.size() - length, length, known.suffix) == 0)
            origin.resize(origin.size() - length);
    }
    // A path, query or fragment is no part of an origin.
    if (origin.find_first_of("/?#", scheme + 3) != std::string::npos) return std::string();
    return origin;
}

// The names a Host header may carry with -o: the listen address and the loopback names.
inline std::vector<std::string> agentHostNames(const std::string& listenAddress) {
    std::string listen = listenAddress;
    for (char& c : listen) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    // An IPv6 address goes in brackets in a Host header.
    if (listen.find(':') != std::string::npos) listen = "[" + listen + "]";
    return {listen, "127.0.0.1", "localhost", "[::1]"};
}

// True when `authority` (host[:port], as in a Host header) names this agent.
inline bool namesAgent(const AccessPolicy& policy, const std::string& authority) {
    std::string host = authority;
    long port = 80;
    const size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
        const std::string digits = host.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        port = strtol(digits.c_str(), nullptr, 10);
        host.resize(colon);
    }
    for (char& c : host) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (port != policy.port) return false;
    for (const std::string& name : policy.hostNames) {
        if (host == name) return true;
    }
    return false;
}

// The authority a request is addressed to: an absolute-form target's, otherwise the Host
// header's (RFC 9112, 3.2.2). Empty when there is none.
inline std::string requestAuthority(evhttp_request* req) {
    const evhttp_uri* target = evhttp_request_get_evhttp_uri(req);
    const char* host = target != nullptr ? evhttp_uri_get_host(target) : nullptr;
    if (host != nullptr && target != nullptr && evhttp_uri_get_scheme(target) != nullptr) {
        const int port = evhttp_uri_get_port(target);
        return port >= 0 ? std::string(host) + ":" + std::to_string(port) : std::string(host);
    }
    const char* header = evhttp_find_header(evhttp_request_get_input_headers(req), "Host");
    return header != nullptr ? std::string(header) : std::string();
}

// How one request stands with the policy.
struct RequestAccess {
    int status = 0;  // 0: serve it; otherwise the refusal's status
    const char* reason = nullptr;
    const char* allowOrigin = "*";  // Access-Control-Allow-Origin, none when null
    bool varyOrigin = false;        // the reply depends on the Origin header
};

inline RequestAccess checkAccess(const AccessPolicy* policy, evhttp_request* req) {
    RequestAccess access;
    if (policy == nullptr || !policy->restricted()) return access;
    access.allowOrigin = nullptr;
    access.varyOrigin = true;
    // A request without a Host (HTTP/1.0) cannot come from a rebound name: browsers send one.
    const std::string authority = requestAuthority(req);
    if (!authority.empty() && !namesAgent(*policy, authority)) {
        access.status = 421;
        access.reason = "Misdirected Request";
        return access;
    }
    // No Origin: a command-line tool, or a page's own navigation, which gives the page nothing
    // to read.
    const char* origin = evhttp_find_header(evhttp_request_get_input_headers(req), "Origin");
    if (origin == nullptr) return access;
    for (const std::string& allowed : policy->origins) {
        if (allowed == origin) {
            access.allowOrigin = allowed.c_str();
            return access;
        }
    }
    access.status = 403;
    access.reason = "Forbidden";
    return access;
}

// --- CORS preflight ---------------------------------------------------------------------------

constexpr const char* kAllowedMethods = "GET, HEAD";
// Chromium caps the preflight cache at 2 hours, Firefox at 24.
constexpr const char* kPreflightMaxAge = "7200";

inline bool isPreflight(evhttp_request* req) {
    return evhttp_request_get_command(req) == EVHTTP_REQ_OPTIONS &&
           evhttp_find_header(evhttp_request_get_input_headers(req),
                              "Access-Control-Request-Method") != nullptr;
}

// The request headers a preflight may be granted: the list the page asked for, when it is a
// plain list of header names; anything else is granted nothing.
inline std::string grantedHeaders(const char* requested) {
    if (requested == nullptr) return std::string();
    for (const char* p = requested; *p != '\0'; ++p) {
        const unsigned char c = *p;
        if (!(isalnum(c) || strchr("!#$%&'*+-.^_`|~, \t", c))) return std::string();
    }
    return requested;
}

}  // namespace Http
