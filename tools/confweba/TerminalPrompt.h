// The logon prompt for 401 and 407 challenges: asks on the terminal, or
// cancels when there is none.
#ifndef QMX_CONFWEBA_CLI_TERMINALPROMPT_H
#define QMX_CONFWEBA_CLI_TERMINALPROMPT_H

namespace confweba {

// Installs the prompt for the process's HTTP logons.
void InstallTerminalPrompt();

}  // namespace confweba

#endif
