/* Connectivity: brings up the device's internet connection and reports
 * its state through the signal "connection-event".
 *
 * "connection-event": void handler (ConIcConnection *c,
 *                                   ConIcConnectionEvent *e,
 *                                   gpointer user_data)
 * emitted from the main loop of the thread that made the first connection
 * request: once in answer to every accepted request, and on every change of
 * the network after the first request. */
#ifndef CONIC_H
#define CONIC_H

#include <glib-object.h>

G_BEGIN_DECLS

typedef struct _ConIcConnection ConIcConnection;
typedef struct _ConIcConnectionEvent ConIcConnectionEvent;

enum
{
  CON_IC_STATUS_CONNECTED = 0,
  CON_IC_STATUS_DISCONNECTED = 1
};

#define CON_IC_TYPE_CONNECTION (con_ic_connection_get_type ())
#define CON_IC_TYPE_CONNECTION_EVENT (con_ic_connection_event_get_type ())

GType con_ic_connection_get_type (void);
GType con_ic_connection_event_get_type (void);

/* A new connection object; release it with g_object_unref. */
ConIcConnection *con_ic_connection_new (void);
/* TRUE when the request was accepted; its outcome arrives as an event.
 * No flags are defined yet: pass 0. */
gboolean con_ic_connection_connect (ConIcConnection *c, guint flags);
/* CON_IC_STATUS_CONNECTED or another status meaning not connected. */
gint con_ic_connection_event_get_status (ConIcConnectionEvent *e);

G_END_DECLS

#endif /* CONIC_H */
