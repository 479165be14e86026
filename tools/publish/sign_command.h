// Running an operator's signing command (--sign-command,
// --sign-digest-command: a token or a KMS behind a shell command line). It
// reads what to sign on its standard input and writes the signature on its
// standard output; its standard error and the terminal stay the
// operator's, so that a PIN or passphrase prompt reaches them. A command
// that does not finish in time is ended with everything it started: a hung
// token or an unreachable KMS must not hold a publish, and the server
// folder's lock, for ever.
#pragma once

#include <string>

// Runs command through /bin/sh with input on its standard input; its
// standard output comes back in output. False, with why (worded to follow
// the option's name): it cannot be run, it failed, or it did not finish
// within timeoutSeconds.
bool RunSignCommand(const std::string& command, const std::string& input, long timeoutSeconds,
                    std::string& output, std::string& why);
