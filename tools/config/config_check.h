#pragma once

// The checks of `quillon-config check`: the modem asked who it is, and the mail host asked
// whether it would take a message from and to the configured address. Each returns true
// when the peer answered as a working one, and writes what it saw to `out`.

#include <ostream>
#include <string>

namespace quillon::config {

// Opens `device`, asks AT+FCLASS=? and, for each fax class the modem offers, the rates it
// reports (Class 1: AT+FRM=?; Class 2/2.0: AT+FCC=?).
bool CheckModem(const std::string &device, std::ostream &out);

// Connects to host:port and runs EHLO (HELO when refused), MAIL FROM, RCPT TO, then RSET
// and QUIT; with `sendTest`, DATA with a short test message instead of RSET.
bool CheckMailHost(const std::string &host, const std::string &port, const std::string &from,
                   const std::string &to, bool sendTest, std::ostream &out);

} // namespace quillon::config
