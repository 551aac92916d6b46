// The console: every line kelvane writes goes to standard output through say().
#pragma once

// Writes the formatted text to standard output at once and whole, however
// often a tick interrupts the write; quietly drops it when nobody reads any
// more. Unbuffered, so each line shows when it happens.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
