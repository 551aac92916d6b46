#include "tick.hpp"

#include "console.hpp"

#include <cerrno>
#include <csignal>
#include <sys/time.h>

static tick_procedure stored_procedure;
static struct itimerval timer_setting;
static struct sigaction alarm_action;
static struct sigaction saved_alarm_action;
static bool alarm_found_blocked;

// Blocks or unblocks SIGALRM; returns whether it was blocked before.
static bool block_alarm(int how)
{
    sigset_t alarm, before;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    sigprocmask(how, &alarm, &before);
    return sigismember(&before, SIGALRM) == 1;
}

void tick_alarm_handler(int)
{
    // The interrupted code may be about to look at errno (the wait for a
    // command retries on EINTR).
    const int saved_errno = errno;
    stored_procedure();
    errno = saved_errno;
}

int tick_start(std::int32_t period_ms, tick_procedure procedure)
{
    stored_procedure = procedure;

    const std::int32_t seconds = period_ms / 1000;
    const std::int32_t microseconds = period_ms % 1000 * 1000;
    timer_setting.it_interval.tv_sec = seconds;
    timer_setting.it_interval.tv_usec = microseconds;
    timer_setting.it_value = timer_setting.it_interval;

    // Armed before the handler is in place: the first expiry is a whole
    // period away.
    if (setitimer(ITIMER_REAL, &timer_setting, nullptr) != 0) {
        say("\nsetitimer() error\n");
        return 1;
    }

    alarm_action.sa_handler = tick_alarm_handler;
    sigemptyset(&alarm_action.sa_mask);
    // SA_NODEFER so a tick that falls due while the procedure still runs
    // enters it again (the procedure returns at once then); no SA_RESTART,
    // since the waits that ticks interrupt resume by themselves.
    alarm_action.sa_flags = SA_NODEFER;
    if (sigaction(SIGALRM, &alarm_action, &saved_alarm_action) != 0) {
        say("\nsigaction() error\n");
        return 1;
    }
    // Inherited blocked, SIGALRM would never come. Unblocked only now that
    // the handler is in place: one already pending is delivered at once. The
    // commands still get it as kelvane found it.
    alarm_found_blocked = block_alarm(SIG_UNBLOCK);
    return 0;
}

void tick_stop()
{
    const struct itimerval disarmed = {};
    setitimer(ITIMER_REAL, &disarmed, nullptr);
    sigaction(SIGALRM, &saved_alarm_action, nullptr);
    if (alarm_found_blocked)
        block_alarm(SIG_BLOCK);
}
