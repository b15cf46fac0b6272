// A run of the app that never gets to clean up: attaches and mounts the phone of the test that
// started it (the bus's environment is inherited) with the real disk tool, prints
// "ready <pid> <disk>" and waits for its SIGKILL.
// Usage: app_abandoned_run ROOT SERIAL

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

#include <unistd.h>

#include "tests/app/BusPhone.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ROOT SERIAL\n", argv[0]);
        return 2;
    }
    QCoreApplication application(argc, argv);
    brisvale::ShellRunner runner;
    brisvale::QtClock clock;
    const apptest::fs::path root = argv[1];
    brisvale::DiskTool tool(runner, clock, apptest::diskConfig(root));
    auto run = [&]() -> QCoro::Task<void> {
        try {
            const std::string disk = co_await tool.attach(argv[2], "Pixel", false);
            co_await tool.mount(disk, root / "Volumes" / "Pixel", false);
            std::printf("ready %d %s\n", static_cast<int>(::getpid()), disk.c_str());
            std::fflush(stdout);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "abandoned run: %s\n", error.what());
            std::exit(1);
        }
    };
    auto running = run();
    return application.exec();
}
