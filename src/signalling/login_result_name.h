// What a login's result means, for the log: a refusal logged as its name and its code
// says more to whoever reads the log than the code alone.
#pragma once

const char* loginResultName(int result);

// The result a connect failure of the network library reaches the host as: its own code,
// apart from every refusal a server can send.
int connectFailureResult(int status);
