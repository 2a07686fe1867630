// The logon prompt for 401 and 407 challenges: asks on the terminal, or
// cancels when there is none; and the reading of passwords given as "-".
#ifndef QMX_CONFWEBA_CLI_TERMINALPROMPT_H
#define QMX_CONFWEBA_CLI_TERMINALPROMPT_H

#include <string>

namespace confweba {

// A secret given as "-": asked on the terminal without echo (prompt on
// stderr) when stdin is one, else one line of stdin without its line break.
// False when stdin ended before a line.
bool ReadSecret(const char* prompt, std::string& value);

// Installs the prompt for the process's HTTP logons.
void InstallTerminalPrompt();

}  // namespace confweba

#endif
