// The command runs in a process group of its own, so that ending it ends
// the pipeline and whatever it left running in the background too. While
// it runs, the terminal (when this tool holds it) is its group's, as a
// shell gives it to a job: a prompt read from a background group would
// stop the command instead of asking.
#include "sign_command.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

extern char** environ;

namespace {

typedef std::chrono::steady_clock Clock;

int MillisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left < 1000000 ? left : 1000000) : 0;
}

// The terminal this tool holds in the foreground, or -1.
int HeldTerminal()
{
    const int tty = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty >= 0 && tcgetpgrp(tty) == getpgrp())
        return tty;
    if (tty >= 0)
        close(tty);
    return -1;
}

// Makes group the terminal's foreground. Taking it back, this tool is a
// background group, which SIGTTOU would stop.
void GiveTerminal(int tty, pid_t group)
{
    if (tty < 0)
        return;
    struct sigaction ignore = {}, before = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGTTOU, &ignore, &before);
    tcsetpgrp(tty, group);
    sigaction(SIGTTOU, &before, nullptr);
}

}  // namespace

bool RunSignCommand(const std::string& command, const std::string& input, long timeoutSeconds,
                    std::string& output, std::string& why)
{
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
        why = std::string("cannot be run: ") + std::strerror(errno);
        return false;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        why = std::string("cannot be run: ") + std::strerror(errno);
        close(in[0]);
        close(in[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    // The command's pipelines need the broken-pipe signal this tool ignores.
    posix_spawnattr_t attributes;
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigdefault(&attributes, &pipeSignal);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    char shell[] = "/bin/sh", dashC[] = "-c";
    std::string line = command;
    char* argv[] = {shell, dashC, &line[0], nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, shell, &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    const int tty = spawned == 0 ? HeldTerminal() : -1;
    GiveTerminal(tty, child);
    // A prompt it read before it had the terminal stopped it.
    if (tty >= 0)
        kill(-child, SIGCONT);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    bool late = false;
    std::size_t sent = 0;
    struct pollfd ends[2] = {{in[1], POLLOUT, 0}, {out[0], POLLIN, 0}};
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    if (input.empty()) {
        close(in[1]);
        ends[0].fd = -1;
    }
    while (spawned == 0 && ends[1].fd >= 0) {
        const int ready = poll(ends, 2, MillisecondsLeft(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        late = ready == 0;
        if (ready <= 0)
            break;
        if (ends[0].fd >= 0 && ends[0].revents != 0) {
            const ssize_t wrote = write(in[1], input.data() + sent, input.size() - sent);
            sent += wrote > 0 ? static_cast<std::size_t>(wrote) : 0;
            if (sent == input.size() || (wrote < 0 && errno != EAGAIN)) {
                close(in[1]);
                ends[0].fd = -1;
            }
        }
        if (ends[1].revents != 0) {
            char chunk[4096];
            const ssize_t got = read(out[0], chunk, sizeof(chunk));
            if (got > 0)
                output.append(chunk, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                ends[1].fd = -1;
        }
    }
    if (ends[0].fd >= 0)
        close(in[1]);
    close(out[0]);
    // Its standard output closed, it may still not end.
    int status = 0;
    pid_t ended = 0;
    while (spawned == 0 && !late && (ended = waitpid(child, &status, WNOHANG)) == 0) {
        late = MillisecondsLeft(deadline) == 0;
        poll(nullptr, 0, 10);
    }
    if (late) {
        kill(-child, SIGKILL);
        ended = waitpid(child, &status, 0);
    }
    GiveTerminal(tty, getpgrp());
    if (tty >= 0)
        close(tty);
    if (late) {
        why = "did not finish within " + std::to_string(timeoutSeconds) +
              " s, and was ended (--sign-timeout SECONDS gives it longer)";
        return false;
    }
    if (spawned != 0 || ended != child) {
        why = std::string("cannot be run: ") + std::strerror(spawned != 0 ? spawned : errno);
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        why = "failed (exit " +
              std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)) + ")";
        return false;
    }
    return true;
}
