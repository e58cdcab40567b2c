#include "sign/ssh_wire.h"

#include <nettle/base64.h>

void put_u32(Bytes &out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back((unsigned char)(value >> shift));
}

void put_string(Bytes &out, const void *data, size_t size)
{
    put_u32(out, (uint32_t)size);
    const unsigned char *bytes = (const unsigned char *)data;
    out.insert(out.end(), bytes, bytes + size);
}

void put_string(Bytes &out, const std::string &text)
{
    put_string(out, text.data(), text.size());
}

void put_string(Bytes &out, const Bytes &bytes)
{
    put_string(out, bytes.data(), bytes.size());
}

int WireReader::u32(uint32_t &value)
{
    if (left < 4)
        return -1;
    value = (uint32_t)at[0] << 24 | (uint32_t)at[1] << 16 | (uint32_t)at[2] << 8 | at[3];
    at += 4;
    left -= 4;
    return 0;
}

int WireReader::string(Bytes &value)
{
    uint32_t size;
    if (u32(size) != 0 || size > left)
        return -1;
    value.assign(at, at + size);
    at += size;
    left -= size;
    return 0;
}

int WireReader::string(std::string &value)
{
    Bytes bytes;
    if (string(bytes) != 0)
        return -1;
    value.assign(bytes.begin(), bytes.end());
    return 0;
}

std::string base64_text(const unsigned char *data, size_t size)
{
    std::string text(BASE64_ENCODE_RAW_LENGTH(size), '\0');
    base64_encode_raw(&text[0], size, data);
    return text;
}

static bool base64_letter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           c == '+' || c == '/';
}

int base64_bytes(const std::string &text, Bytes &out)
{
    // nettle skips white space; a key or signature with a space inside is
    // not one.
    size_t letters = 0;
    while (letters < text.size() && base64_letter(text[letters]))
        letters++;
    size_t padding = text.size() - letters;
    if (padding > 2 || text.find_first_not_of('=', letters) != std::string::npos ||
        text.size() % 4 != 0)
        return -1;
    struct base64_decode_ctx ctx;
    base64_decode_init(&ctx);
    out.resize(BASE64_DECODE_LENGTH(text.size()));
    size_t size = out.size();
    if (!base64_decode_update(&ctx, &size, out.data(), text.size(), text.data()) ||
        !base64_decode_final(&ctx))
        return -1;
    out.resize(size);
    return 0;
}
