// halvern-cli commands. Each takes the arguments after its name and returns the exit status.
#pragma once

#include <string>
#include <vector>

namespace halvern::cli {

using Args = std::vector<std::string>;

int ListCommand(const Args& args);
int InfoCommand(const Args& args);
int FilesCommand(const Args& args);
int ScanCommand(const Args& args);
int SearchCommand(const Args& args);
int DeviceCommand(const Args& args);
int SqliteCommand(const Args& args);
int RecoverCommand(const Args& args);
int LanguageCommand(const Args& args);

// One registered command: its name, a one-line usage and its entry point.
struct Command {
  const char* name;
  const char* usage;
  int (*run)(const Args& args);
};

// Every command the program knows (commands.cpp).
const std::vector<Command>& AllCommands();

// Prints "halvern-cli: <message>" to stderr and returns `status`.
int Fail(int status, const std::string& message);

// Looks for `--name VALUE` in args; removes both and returns true when present.
bool TakeOption(Args& args, const std::string& name, std::string& value);
// Looks for the flag `--name`; removes it and returns true when present.
bool TakeFlag(Args& args, const std::string& name);

}  // namespace halvern::cli
