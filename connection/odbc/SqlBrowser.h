#pragma once
// Finding a named SQL Server instance's TCP port through the SQL Server Browser
// (SSRP over UDP). The driver can do this itself, but its look-up keeps retrying
// well past the connection time-out, so the client asks on its own, within
// whatever is left of that time-out.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vl::odbc {

inline constexpr int SqlBrowserPort = 1434;

// The TCP port that a browser answer (the text after the SVR_RESP header:
// "ServerName;H;InstanceName;I;...;tcp;1433;...;;", possibly several instances)
// gives for the instance, compared without regard to case.
std::optional<int> TcpPortFromBrowserAnswer(std::string_view answer, std::string_view instance);

// Asks the browser on host for the instance's port, repeating the request while
// time remains. Raises Exception when no answer comes before deadline, when no
// browser listens, or when the instance takes no TCP connections.
int LookUpInstancePort(const std::string& host, const std::string& instance,
                       std::chrono::steady_clock::time_point deadline, int browserPort = SqlBrowserPort);

}  // namespace vl::odbc
