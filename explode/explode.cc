#include "explode/explode_internal.h"

explode_result explode(const uint8_t *data, uint32_t length, explode_sink sink, void *sink_context)
{
    return explode_reference(data, length, sink, sink_context);
}
