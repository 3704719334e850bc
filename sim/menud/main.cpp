// The menu daemon stand-in as a program, for the demo: prints every
// message the plug-in sends, answers registrations, and sends each line of
// its standard input as a request: "TYPE TEXT" (for example
// "103 frontpanel/register_menu" or "105 frame/x \"7"). Stops on SIGINT
// or SIGTERM.
//
// Options: --name NAME  the menu name registrations are answered with.
//          --remove-plugin-queue  on stop, also remove the plug-in's queue
//                   (the plug-in leaves it, as on the card; a demo run
//                   must leave no queue on the machine it ran on).
#include "menud.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include <pthread.h>

int main(int argc, char **argv)
{
    std::string name;
    bool remove_plugin_queue = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--name") && i + 1 < argc) {
            name = argv[++i];
        } else if (!std::strcmp(argv[i], "--remove-plugin-queue")) {
            remove_plugin_queue = true;
        } else {
            std::fprintf(stderr, "usage: %s [--name NAME] [--remove-plugin-queue]\n", argv[0]);
            return 2;
        }
    }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr); // the threads inherit it

    try {
        menud::daemon d;
        static std::mutex out;
        d.answer_registrations(true, name);
        d.on_message([](const menud::message &m) {
            std::lock_guard lock(out);
            std::printf("menud: type %u id %u aux2 %u hw %d len %zu '%s'\n", m.type, m.id, m.aux2,
                        m.hardware_index, m.length, m.text.c_str());
            std::fflush(stdout);
        });
        std::printf("menud: listening on %s, sending to %s\n", d.daemon_queue().c_str(),
                    d.plugin_queue().c_str());
        std::fflush(stdout);
        std::thread input([queue = d.plugin_queue()] {
            for (std::string line; std::getline(std::cin, line);) {
                char *end = nullptr;
                const unsigned long type = std::strtoul(line.c_str(), &end, 10);
                if (end == line.c_str())
                    continue;
                std::string text = *end ? end + 1 : "";
                if (!menud::send_to(queue, menud::encode(uint32_t(type), text))) {
                    std::lock_guard lock(out);
                    std::fprintf(stderr, "menud: send failed: %s\n", std::strerror(errno));
                }
            }
        });
        input.detach(); // standard input may never end; the thread holds no daemon state
        int sig = 0;
        sigwait(&stop, &sig);
        if (remove_plugin_queue)
            mq_unlink(d.plugin_queue().c_str());
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
