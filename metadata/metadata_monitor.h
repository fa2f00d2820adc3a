/* MetaMonitor: tells an application that the library's database changed,
 * whichever process changed it, so that a player refreshes what it shows
 * instead of polling the table. */
#ifndef TESSEL_METADATA_MONITOR_H
#define TESSEL_METADATA_MONITOR_H

#include <glib-object.h>

#include "tessel_export.h"

G_BEGIN_DECLS

#define META_TYPE_MONITOR (meta_monitor_get_type ())
TESSEL_API
G_DECLARE_FINAL_TYPE (MetaMonitor, meta_monitor, META, MONITOR, GObject)

/**
 * MetaMonitor:
 *
 * Watches the database meta_init() had opened when the monitor was made.
 * Its signal #MetaMonitor::changed is emitted on the thread-default main
 * context of the thread that made it, within half a second of any commit
 * to the database: by this process, the watcher, `tessel index`, another
 * application or the sqlite3 shell.  A burst of commits gives a few
 * signals, not one per commit.  While nothing changes the monitor costs
 * no CPU time: it waits for file events and runs no timer.
 *
 * Releasing the last reference stops it; no signal follows, also when a
 * change was waiting to be told.
 */

/**
 * MetaMonitor::changed:
 * @monitor: the monitor
 *
 * The database changed: read again what you show.  The signal tells
 * nothing about what changed.
 */

/**
 * meta_monitor_new:
 *
 * Starts watching the database that meta_init() opened.  It keeps
 * watching that file also when the library is closed or opened on
 * another file later.
 *
 * Returns: (transfer full) (nullable): a new monitor (g_object_unref() it
 *   to stop), or %NULL when no database file is open or it cannot be
 *   read
 */
TESSEL_API MetaMonitor *meta_monitor_new (void);

G_END_DECLS

#endif /* TESSEL_METADATA_MONITOR_H */
