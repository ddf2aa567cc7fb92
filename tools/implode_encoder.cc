/* PLACEHOLDER (replaced by the real matcher before anything lands): literals only. */
#include "tools/implode_encoder.h"

std::vector<uint8_t> implode(const uint8_t *data, size_t size, const implode_options &options)
{
    implode_writer writer;
    implode_begin(&writer, options.literal_mode, options.dictionary_bits);
    for (size_t i = 0; i < size; ++i)
        implode_put_literal(&writer, data[i]);
    implode_put_end_marker(&writer);
    return implode_finish(&writer);
}
