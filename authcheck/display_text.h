// Text from the database, files and the command line made safe to show: the
// report may go to a terminal, where control characters act, and to the panel as
// JSON, which must be valid UTF-8. Valid UTF-8 passes unchanged; each byte that is
// not part of it reads "\xNN".
#ifndef VELKA_AUTHCHECK_DISPLAY_TEXT_H
#define VELKA_AUTHCHECK_DISPLAY_TEXT_H

#include <string>

namespace velka::authcheck {

// For a terminal: control characters (C0, DEL, C1) read "\xNN" or "\u00NN".
std::string terminalText(const std::string &text);
// A quoted JSON string: control characters, '"' and '\' escaped as JSON does.
std::string jsonString(const std::string &text);

} // namespace velka::authcheck

#endif
