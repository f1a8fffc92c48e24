// velmo: the Zentro song manager's window.
#include <cstdio>
#include <string>
#include <vector>

#include "application.h"
#include "fileio.h"
#include "install_paths.h"
#include "start_options.h"
#include "translation.h"
#include "velmo_build.h"

int main(int argc, char** argv) {
    velmo::initTranslations(velmo::localeFolder(velmo::executableFolder()));
    // --version and --help answer before Qt starts, so they work without a
    // display (a package check, a terminal over ssh).
    const velmo::StartOptions early = velmo::parseStartOptions(std::vector<std::string>(argv + 1, argv + argc), true);
    if (early.action == velmo::StartOptions::Action::Version) {
        std::printf("velmo %s\n", velmo::kVelmoVersion);
        return 0;
    }
    if (early.action == velmo::StartOptions::Action::Help) {
        std::printf("%s", velmo::startUsage().c_str());
        return 0;
    }
    Application app(argc, argv);
    return app.run();
}
