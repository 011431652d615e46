#include "app/consoleoutput.h"

bool writeToConsole(const QByteArray &)
{
    // A terminal reads the bytes of standard output, whatever they are written to.
    return false;
}
