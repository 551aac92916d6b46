// The interval tick: calls one procedure at a fixed period of wall-clock time,
// driven by the real-time interval timer and SIGALRM.
#pragma once

#include <cstdint>

using tick_procedure = void (*)();

// Stores `procedure`, arms the timer with `period_ms` as first expiry and as
// interval, installs the SIGALRM handler and unblocks SIGALRM. Returns 0, or
// 1 after writing its own message. A period of 0 leaves the timer disarmed.
int tick_start(std::int32_t period_ms, tick_procedure procedure);

// Disarms the timer and puts back the SIGALRM action that was in force
// before tick_start (the default action if tick_start never saved one), and
// blocks SIGALRM again if tick_start found it blocked.
void tick_stop();

// The SIGALRM action tick_start installs; named here so that a test can see
// that it is the one in place.
void tick_alarm_handler(int signal_number);
