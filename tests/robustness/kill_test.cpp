// A real process writing through the host-file device is killed with
// SIGKILL at several moments; whatever it finished is on the image, and the
// image holds no worse than an interrupted operation leaves.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "workload.h"

using namespace fat16test;

namespace {

// The workload repeated in folders of their own, long enough to be killed
// in the middle.
std::vector<Step> kill_workload(int rounds) {
    std::vector<Step> steps;
    for (int r = 0; r < rounds; r++) {
        std::string dir = "C:\\ROUND" + std::to_string(r);
        steps.push_back({Step::MKDIR, dir, "", 0});
        for (Step s : power_cut_workload()) {
            if (s.path.find("BIG") != std::string::npos) continue;
            s.path = dir + s.path.substr(2);
            steps.push_back(s);
        }
    }
    return steps;
}

// Runs the steps in a child that reports each finished step as one byte on
// a pipe; kills it after `delay_ms`. Returns how many steps it finished.
uint32_t run_and_kill(const std::vector<Step> &steps, int delay_ms) {
    int progress[2];
    if (pipe(progress) != 0) return 0;
    pid_t child = fork();
    if (child == 0) {
        close(progress[0]);
        if (disk_open_image_path("fat16.img", 0) != FS_OK || fs_init() != FS_OK) _exit(2);
        for (uint32_t i = 0; i < steps.size(); i++) {
            if (!run_step(steps[i], i)) _exit(3);
            char done = 1;
            if (write(progress[1], &done, 1) != 1) _exit(4);
        }
        _exit(0);
    }
    close(progress[1]);
    struct timespec pause = {delay_ms / 1000, (long)(delay_ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    uint32_t finished = 0;
    char buf[256];
    ssize_t n;
    while ((n = read(progress[0], buf, sizeof buf)) > 0) finished += (uint32_t)n;
    close(progress[0]);
    EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
        << "child status " << status;
    return finished;
}

TEST(Kill, FinishedStepsSurviveSigkill) {
    const std::vector<Step> steps = kill_workload(40);
    int interrupted = 0;
    for (int delay : {2, 4, 7, 10, 14, 19, 26, 40}) {
        ScratchDir dir;
        make_sparse_file("fat16.img", kImageBytes);
        ASSERT_EQ(disk_open_image(), FS_OK);
        ASSERT_EQ(fs_format_if_blank(0, 6, kImageSectors), FS_OK);
        disk_close_image();
        uint32_t finished = run_and_kill(steps, delay);
        if (finished < steps.size()) interrupted++;
        ASSERT_EQ(disk_open_image_path("fat16.img", 0), FS_OK);
        ASSERT_NO_FATAL_FAILURE(verify_interrupted(steps, finished)) << "killed after " << delay << " ms";
        disk_close_image();
    }
    EXPECT_GT(interrupted, 0) << "every child finished before it was killed: make the workload longer";
}

} // namespace
