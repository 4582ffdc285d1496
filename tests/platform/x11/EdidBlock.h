#pragma once

#include <QByteArray>
#include <cstdint>

// A base block as a monitor would send it, with a correct checksum unless told otherwise.
inline QByteArray edidBlock(const char* name, uint16_t product, uint32_t serial, bool fixChecksum = true) {
    QByteArray b(128, '\0');
    const unsigned char header[8] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
    for (int i = 0; i < 8; ++i)
        b[i] = char(header[i]);
    b[8] = char(0x10); // "DEL": D=4, E=5, L=12 -> 00100 00101 01100
    b[9] = char(0xac);
    b[10] = char(product & 0xff);
    b[11] = char(product >> 8);
    for (int i = 0; i < 4; ++i)
        b[12 + i] = char((serial >> (8 * i)) & 0xff);
    // Slot 1: a detailed timing (non-zero pixel clock); slot 2: a serial-number string; slot 3: the name.
    b[54] = char(0x01);
    b[55] = char(0x1d);
    b[72 + 3] = char(0xff);
    for (int i = 0; i < 13; ++i)
        b[72 + 5 + i] = 'S';
    if (name) {
        b[90 + 3] = char(0xfc);
        int i = 0;
        for (; name[i] && i < 13; ++i)
            b[90 + 5 + i] = name[i];
        if (i < 13) b[90 + 5 + i++] = 0x0a;
        for (; i < 13; ++i)
            b[90 + 5 + i] = ' ';
    }
    if (fixChecksum) {
        unsigned sum = 0;
        for (int i = 0; i < 127; ++i)
            sum += uchar(b[i]);
        b[127] = char((256 - sum % 256) % 256);
    }
    return b;
}
