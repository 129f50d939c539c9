// The source in use: the live one unless a test installed another.
#include "compat/sunos/sunos_source.h"

namespace {
SunosSource* installed = nullptr;
}

SunosSource& sunos_source()
{
    return installed != nullptr ? *installed : sunos_live_source();
}

SunosSource* sunos_set_source(SunosSource* source)
{
    SunosSource* previous = installed;
    installed = source;
    return previous;
}
