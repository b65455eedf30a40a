#include "draldb.h"

#include <cstdlib>

extern "C" void draldb_free(char *text)
{
    std::free(text);
}
