#include "target.h"

#include <cups/cups.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cctype>
#include <cstring>

namespace {

const size_t ADDRESS_MAX = 15;  // the record's address field, without its null

bool IsHostName(const std::string& host)
{
    for (char c : host)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return false;
    return !host.empty();
}

// The first IPv4 address of a name, dotted; empty when it has none.
std::string Ipv4Of(const std::string& host, bool* otherFamilies)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    std::string address;
    *otherFamilies = false;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return address;
    for (addrinfo* a = list; a && address.empty(); a = a->ai_next) {
        char text[INET_ADDRSTRLEN];
        if (a->ai_family != AF_INET) {
            *otherFamilies = true;
            continue;
        }
        if (inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, text, sizeof text)) address = text;
    }
    freeaddrinfo(list);
    return address;
}

}  // namespace

TargetProblem ParseDeviceUri(const std::string& uri, Target* target, std::string* problem)
{
    char scheme[32], userpass[256], host[256], resource[1024];
    int port = 0;
    http_uri_status_t status = httpSeparateURI(HTTP_URI_CODING_ALL, uri.c_str(), scheme, sizeof scheme, userpass,
                                               sizeof userpass, host, sizeof host, &port, resource, sizeof resource);
    const struct {
        bool wrong;
        const char* text;
    } checks[] = {
        {status < HTTP_URI_STATUS_OK, "The device URI is not a valid URI: it must be pralix://HOST[:PORT]"},
        {strcmp(scheme, "pralix") != 0, "The device URI's scheme is not pralix"},
        {userpass[0] != 0, "The device URI names a user or password, which it must not: credentials come with each job"},
        {!host[0], "The device URI has no host"},
        {strcmp(resource, "/") != 0 && resource[0], "The device URI has a path: it must be pralix://HOST[:PORT]"},
        {strchr(host, ':') != nullptr, "The print server must be named by an IPv4 address or a host name, not an IPv6 address"},
        {!IsHostName(host), "The device URI's host is not a host name"},
    };
    for (const auto& c : checks) {
        if (!c.wrong) continue;
        *problem = c.text;
        return TARGET_BAD;
    }
    target->host = host;
    if (port) target->port = std::to_string(port);
    if (target->host.size() <= ADDRESS_MAX) return TARGET_OK;
    bool otherFamilies = false;
    target->host = Ipv4Of(host, &otherFamilies);
    if (!target->host.empty()) return TARGET_OK;
    *problem = std::string("The print server's name ") + host +
               (otherFamilies ? " has no IPv4 address (the print server takes IPv4 only)" : " cannot be resolved");
    return otherFamilies ? TARGET_BAD : TARGET_UNRESOLVED;
}
