#include "sys/byte_order.h"

uint64_t read_le(const unsigned char *bytes, size_t width)
{
    uint64_t value = 0;
    for (size_t i = width; i-- > 0;)
        value = value << 8 | bytes[i];
    return value;
}

void write_le(unsigned char *bytes, uint64_t value, size_t width)
{
    for (size_t i = 0; i < width; i++)
        bytes[i] = (unsigned char)(value >> (8 * i));
}

void append_le(Bytes &out, uint64_t value, size_t width)
{
    unsigned char bytes[8];
    write_le(bytes, value, width);
    out.insert(out.end(), bytes, bytes + width);
}

void append_le(std::string &out, uint64_t value, size_t width)
{
    unsigned char bytes[8];
    write_le(bytes, value, width);
    out.append((const char *)bytes, width);
}
