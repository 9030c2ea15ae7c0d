// Every line the port engine writes on the console, in one place: progress
// on standard output, failures on standard error, one whole line per call so
// that lines from different ports never interleave.
#pragma once

#include "port/port_internal.h"

void console_open_failed(const char *path, const open_failure &why);
void console_replaced(const char *path, const char *was, const char *now);
void console_thread_failed(const char *path);
void console_read_failed(const char *path, const char *reason);
void console_lines_cut(const char *path, uint32_t count, int limit);
void console_vanished(const char *path);
void console_fd_invalid(const char *path);
void console_fd_reopened(const char *path, bool ok);
void console_reopening(const char *path);
void console_reopened(const char *path, bool ok);
void console_monitor_started(bool ok);
void console_monitor_stopped();
void console_watch_failed(const char *dir, int err);
void console_init_failed(const char *command, const char *path, const char *status);
void console_other_user(const char *path, const port_other_user &user);
