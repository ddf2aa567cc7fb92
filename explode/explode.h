/*
 * explode.h - decoder for the implode compression format with its three fixed
 * prefix codes, as found in InstallShield 3 archives.
 *
 * A stream is decoded from memory in one call; the output leaves through a
 * caller-supplied sink in blocks of the decoder's 4096-byte window. The
 * decoder allocates nothing and keeps nothing between calls.
 */
#ifndef VARLIX_EXPLODE_EXPLODE_H
#define VARLIX_EXPLODE_EXPLODE_H

#include <stdbool.h>
#include <stdint.h>

#include "varlix_api.h"

VARLIX_BEGIN_DECLS

/*
 * explode_sink - receives decoded bytes: @length bytes at @bytes, valid only
 * during the call. Returns true when all of them were taken. It is called with
 * 4096 bytes each time the window fills and once more with the 1 to 4095
 * bytes left at the end of the stream; never with 0 bytes, and never again
 * after it returned false.
 */
typedef bool (*explode_sink)(void *context, const uint8_t *bytes, uint32_t length);

typedef enum explode_result {
    EXPLODE_OK = 0,               /* end marker reached, every sink call succeeded */
    EXPLODE_BAD_LITERAL_MODE = 1, /* first header byte is neither 0 nor 1 */
    EXPLODE_BAD_DICTIONARY = 2,   /* second header byte is not 4, 5 or 6 */
    EXPLODE_TRUNCATED = 3,        /* input ran out before the end marker */
    EXPLODE_BAD_DISTANCE = 4,     /* a match reaches back before the first output byte */
    EXPLODE_WRITE_FAILED = 5,     /* the sink returned false */
} explode_result;

/*
 * explode() - decode the @length bytes at @data, a complete stream, handing
 * the output in order to @sink with @sink_context.
 *
 * Returns EXPLODE_OK or the first fault. Bytes given to the sink before a
 * fault stay given. A sink failure does not stop the token being decoded: it
 * is reported once that token is done. Input after the end marker is ignored.
 */
VARLIX_API explode_result explode(const uint8_t *data, uint32_t length, explode_sink sink,
                                  void *sink_context);

VARLIX_END_DECLS

#endif
