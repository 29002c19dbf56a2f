/* stats-morvastelle.h
 * The plugin's statistics, fed by the "morvastelle" tap.
 *
 * SPDX-License-Identifier: GPL-2.0-or-later
 */

#ifndef STATS_MORVASTELLE_H
#define STATS_MORVASTELLE_H

/* Registers the "morvastelle.ports" stats tree; the host calls it once its
 * taps exist. */
void register_morvastelle_stats_tree(void);

#endif /* STATS_MORVASTELLE_H */
