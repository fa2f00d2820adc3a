/* Scripting hooks of the connectivity library, for test programs only.
 * Nothing here is part of the library's interface to applications. */
#ifndef CONIC_TESTING_H
#define CONIC_TESTING_H

#include "conic.h"

G_BEGIN_DECLS

/* The connection most recently made by con_ic_connection_new (borrowed),
 * or NULL once it has been finalized. */
ConIcConnection *con_ic_connection_testing_last_created (void);

/* Detaches the connection from the network monitor: connection requests
 * are only counted (and accepted unless refused), and events come only from
 * con_ic_connection_testing_emit. */
void con_ic_connection_testing_script (ConIcConnection *c);
/* Scripted connections refuse requests (FALSE) while refuse is TRUE. */
void con_ic_connection_testing_refuse (ConIcConnection *c, gboolean refuse);
/* con_ic_connection_connect calls made on the connection so far. */
guint con_ic_connection_testing_requests (ConIcConnection *c);
/* Emits "connection-event" at once with an event of this status. */
void con_ic_connection_testing_emit (ConIcConnection *c, gint status);
/* Connection and event objects alive, for leak checks. */
gint con_ic_connection_testing_live_objects (void);

G_END_DECLS

#endif /* CONIC_TESTING_H */
