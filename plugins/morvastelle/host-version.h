/* host-version.h
 * The host's API moves between minor releases; code that must build against
 * several picks its calls with this test of the release it is built for.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef MORVASTELLE_HOST_VERSION_H
#define MORVASTELLE_HOST_VERSION_H

#include <ws_version.h>

#define MORVASTELLE_HOST_AT_LEAST(major, minor) \
    (WIRESHARK_VERSION_MAJOR > (major) || \
     (WIRESHARK_VERSION_MAJOR == (major) && WIRESHARK_VERSION_MINOR >= (minor)))

#endif /* MORVASTELLE_HOST_VERSION_H */
