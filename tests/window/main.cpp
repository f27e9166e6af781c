// Runs one group of window tests, named by the first argument, or all of them.

#include <QApplication>

#include <cstring>
#include <iostream>
#include <vector>

#include "tests/window/harness.hpp"

namespace {

struct Group {
    const char* name;
    int (*run)(int, char**);
};

const Group groups[] = {
    {"launch", lanemark::testing::runLaunch},   {"opening", lanemark::testing::runOpening},
    {"preset", lanemark::testing::runPreset},   {"saving", lanemark::testing::runSaving},
    {"dialogs", lanemark::testing::runDialogs},
};

}  // namespace

int main(int argc, char** argv) {
    lanemark::testing::useThrowawayHome();
    QApplication application(argc, argv);
    const bool named = argc > 1 && argv[1][0] != '-';
    std::vector<char*> rest{argv[0]};
    for (int i = named ? 2 : 1; i < argc; ++i) rest.push_back(argv[i]);
    rest.push_back(nullptr);
    const int restCount = int(rest.size()) - 1;

    int failures = 0;
    bool found = false;
    for (const Group& group : groups) {
        if (named && std::strcmp(argv[1], group.name) != 0) continue;
        found = true;
        failures += group.run(restCount, rest.data());
    }
    if (!found) {
        std::cerr << "No test group named " << argv[1] << '\n';
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
