// Batches of commands: the "batch" method's limits, shared with the methods
// that queue batches of their own.
#pragma once

#include <stddef.h>

#include "port/port.h"

constexpr size_t BATCH_STEPS_MAX = 16;
constexpr size_t BUS_MESSAGE_MAX = 1 << 20; // the broker's limit on one message

// Why a batch is refused before anything is written ("Too many commands",
// "Batch too large": its replies could pass the bus's message limit,
// "Batch too long": its timeouts add up to more than TIMEOUT_MAX_S), or
// nullptr when it may run.
const char *batch_check(const port_op &batch);
// "success", "timeout" or "error": the status "sendat" replies for a step.
const char *step_status(const port_op &step);
