#include <cstdio>

#include "launcher/rescue.hpp"
#include "platform/platform.hpp"

// Placeholders until console input lands.
int uartGetC()
{
    unsigned char c = 0;
    return plat::read(0, &c, 1) == 1 ? c : 0;
}

int uartPutC(int c)
{
    std::putchar(c & 0xFF);
    return std::fflush(stdout);
}

char* get_user_input(char* buffer, int size)
{
    if (size > 0) buffer[0] = '\0';
    return buffer;
}
