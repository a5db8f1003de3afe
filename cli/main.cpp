#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/exit_codes.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return palvara::cli::Run(args, std::cout, std::cerr);
  } catch (const std::exception& e) {
    // Never an abort: what escaped is said, with its own exit status.
    std::cout.flush();
    std::cerr << "palvara-cli: unexpected failure: " << e.what() << "\n";
    return palvara::cli::kExitUnexpected;
  } catch (...) {
    std::cout.flush();
    std::cerr << "palvara-cli: unexpected failure\n";
    return palvara::cli::kExitUnexpected;
  }
}
