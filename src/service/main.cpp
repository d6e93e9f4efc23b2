// orlocard: the card access controller service.
//   orlocard [--home DIR] [--registry FILE]   run the service in the foreground
//   orlocard --check [--home DIR] [--registry FILE]
//                                             check the configuration and exit
//   orlocard --version                        print the program version
//   orlocard scramble TEXT                    print the stored form of a password
#include <CLI/CLI.hpp>
#include <iostream>

#include "config/registryex.h"
#include "platform/mainloop.h"
#include "platform/program.h"
#include "platform/registrystore.h"
#include "service/orlocard.h"
#include "service/preflight.h"

namespace {

constexpr int kUsageError = 2;

int PrintScrambled(const std::string& text) {
  std::string stored;
  if (!orlo::Scramble(text, stored)) {
    std::cerr << "orlocard: the text holds a character that a scrambled value cannot carry "
                 "(blank, quote, backslash, grave accent or non-ASCII)\n";
    return 1;
  }
  std::cout << stored << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"orlocard: the card access controller of parking and access-control sites",
               "orlocard"};
  app.footer(
      "Without --check or a subcommand, orlocard runs the service in the foreground until\n"
      "SIGTERM or SIGINT. The manual page orlocard(8) tells more.\n");
  std::string home, registry, text;
  bool check = false;
  app.add_option("--home", home, "the program's folder: orlocard.ini and log/ live there")
      ->envname("ORLOCARD_HOME");
  app.add_option("--registry", registry, "the registry store file")->envname("ORLOCARD_REGISTRY");
  app.add_flag("--check", check,
               "check the configuration, the database and this computer's loops and ports, then "
               "exit: 0 when all is well, else 1 with one line per problem");
  app.set_version_flag("--version", orlo::ProgramVersion());
  CLI::App* scramble =
      app.add_subcommand("scramble", "print the stored (scrambled) form of a password");
  scramble->add_option("TEXT", text, "the password")->required();
  app.require_subcommand(0, 1);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "orlocard: " << e.what() << "\n\n" << app.help();
    return kUsageError;
  }

  if (*scramble) return PrintScrambled(text);
  if (!home.empty()) orlo::SetHomeFolder(home);
  if (!registry.empty()) orlo::SetRegistryFileName(registry);
  if (check) return orlo::RunPreflightCheck(std::cout, std::cerr);

  // The service in the foreground until SIGTERM or SIGINT (the stop request).
  orlo::TMainLoop mainLoop;
  orlo::TOrloCard service(mainLoop);
  service.ServiceExecute();
  mainLoop.Run();
  return 0;
}
