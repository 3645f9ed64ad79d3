/* SPDX-License-Identifier: Apache-2.0 */
#include "vemrick.h"

/* VEMRICK_VERSION comes from the build (the CMake project version). */
const char *QZVersion(void)
{
    return VEMRICK_VERSION;
}
