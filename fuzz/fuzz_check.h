/*
 * fuzz_check.h - what the fuzz targets share: a check that aborts, so that
 * libFuzzer keeps the input that broke a promise, and the sink contract of
 * explode.h as checks on what a recording sink saw.
 */
#ifndef VARLIX_FUZZ_FUZZ_CHECK_H
#define VARLIX_FUZZ_FUZZ_CHECK_H

#include <cstdint>

#include "explode/explode.h"
#include "tools/recording_sink.h"

/* FUZZ_CHECK() - abort with the condition's text and place unless it holds. */
#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? static_cast<void>(0) : fuzz_check_failed(#condition, __FILE__, __LINE__))

[[noreturn]] void fuzz_check_failed(const char *condition, const char *file, int line);

/*
 * check_sink_contract() - abort unless @sink, which took every call, saw what
 * a decode that returned @result may hand over: whole windows, then, only if
 * the end marker was reached, the 1 to 4095 bytes left; never an empty call,
 * and never EXPLODE_WRITE_FAILED.
 */
void check_sink_contract(const recording_sink &sink, explode_result result);

/*
 * check_refusal() - abort unless @refusing, which refused its call number
 * fail_on_call of the same stream, saw what @whole saw up to that call and
 * nothing after it, and its decode returned EXPLODE_WRITE_FAILED; when the
 * stream never reached that call, the two decodes must be identical.
 */
void check_refusal(const recording_sink &whole, explode_result whole_result,
                   const recording_sink &refusing, explode_result refusing_result);

#endif
