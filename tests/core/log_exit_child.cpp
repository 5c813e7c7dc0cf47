// Helper of the log writer's process test: in the folder given, queues the number of
// lines given through the process-wide log, says "queued" on stderr and returns from
// main. The process-wide object must write out its queue on the way out.
#include "core/LogSingleton.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 3 || chdir(argv[1]) != 0) return 2;
    const int lines = std::atoi(argv[2]);
    LogSingleton::SetStartupWait(std::chrono::milliseconds(0));
    LogSingleton* log = LogSingleton::instance();
    for (int i = 1; i <= lines; ++i) log->addFormat("exit line %05d", i);
    static const char queued[] = "queued\n";
    if (write(STDERR_FILENO, queued, sizeof(queued) - 1) < 0) return 3;
    return 0;
}
