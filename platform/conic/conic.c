/* Connectivity over GIO's network monitor: the connection counts as up
 * while the network is available. */
#include "conic.h"
#include "conic-testing.h"

#include <gio/gio.h>

struct _ConIcConnectionEvent
{
  GObject parent_instance;
  gint status;
};

typedef struct
{
  GObjectClass parent_class;
} ConIcConnectionEventClass;

struct _ConIcConnection
{
  GObject parent_instance;
  GNetworkMonitor *monitor; /* watched from the first request on */
  gulong changed_id;
  GSList *answers; /* GSource * of requests not yet answered */
  gboolean scripted;
  gboolean refused;
  guint requests;
};

typedef struct
{
  GObjectClass parent_class;
} ConIcConnectionClass;

G_DEFINE_TYPE (ConIcConnectionEvent, con_ic_connection_event, G_TYPE_OBJECT)
G_DEFINE_TYPE (ConIcConnection, con_ic_connection, G_TYPE_OBJECT)

#define CON_IC_IS_CONNECTION(obj)                                           \
  (G_TYPE_CHECK_INSTANCE_TYPE ((obj), CON_IC_TYPE_CONNECTION))
#define CON_IC_IS_CONNECTION_EVENT(obj)                                     \
  (G_TYPE_CHECK_INSTANCE_TYPE ((obj), CON_IC_TYPE_CONNECTION_EVENT))

enum
{
  SIGNAL_CONNECTION_EVENT,
  N_SIGNALS
};

static guint signals[N_SIGNALS];
static ConIcConnection *last_created;
static gint live_objects;

/* Events */

static void
con_ic_connection_event_finalize (GObject *object)
{
  g_atomic_int_add (&live_objects, -1);
  G_OBJECT_CLASS (con_ic_connection_event_parent_class)->finalize (object);
}

static void
con_ic_connection_event_class_init (ConIcConnectionEventClass *klass)
{
  G_OBJECT_CLASS (klass)->finalize = con_ic_connection_event_finalize;
}

static void
con_ic_connection_event_init (ConIcConnectionEvent *e)
{
  e->status = CON_IC_STATUS_DISCONNECTED;
  g_atomic_int_inc (&live_objects);
}

gint
con_ic_connection_event_get_status (ConIcConnectionEvent *e)
{
  g_return_val_if_fail (CON_IC_IS_CONNECTION_EVENT (e),
                        CON_IC_STATUS_DISCONNECTED);
  return e->status;
}

static void
emit_status (ConIcConnection *c, gint status)
{
  ConIcConnectionEvent *e = g_object_new (CON_IC_TYPE_CONNECTION_EVENT, NULL);
  e->status = status;
  g_signal_emit (c, signals[SIGNAL_CONNECTION_EVENT], 0, e);
  g_object_unref (e);
}

/* Connections */

static gint
monitor_status (GNetworkMonitor *monitor)
{
  return g_network_monitor_get_network_available (monitor)
             ? CON_IC_STATUS_CONNECTED
             : CON_IC_STATUS_DISCONNECTED;
}

static void
on_network_changed (GNetworkMonitor *monitor, gboolean available,
                    gpointer data)
{
  (void) monitor;
  emit_status (data, available ? CON_IC_STATUS_CONNECTED
                               : CON_IC_STATUS_DISCONNECTED);
}

static void
con_ic_connection_dispose (GObject *object)
{
  ConIcConnection *c = (ConIcConnection *) object;
  /* An answer or change arriving after this would reach a dead object. */
  for (GSList *l = c->answers; l != NULL; l = l->next)
    {
      g_source_destroy (l->data);
      g_source_unref (l->data);
    }
  g_clear_pointer (&c->answers, g_slist_free);
  if (c->monitor != NULL)
    {
      g_clear_signal_handler (&c->changed_id, c->monitor);
      g_clear_object (&c->monitor);
    }
  G_OBJECT_CLASS (con_ic_connection_parent_class)->dispose (object);
}

static void
con_ic_connection_finalize (GObject *object)
{
  if (last_created == (ConIcConnection *) object)
    last_created = NULL;
  g_atomic_int_add (&live_objects, -1);
  G_OBJECT_CLASS (con_ic_connection_parent_class)->finalize (object);
}

static void
con_ic_connection_class_init (ConIcConnectionClass *klass)
{
  GObjectClass *object_class = G_OBJECT_CLASS (klass);
  object_class->dispose = con_ic_connection_dispose;
  object_class->finalize = con_ic_connection_finalize;
  signals[SIGNAL_CONNECTION_EVENT] = g_signal_new (
      "connection-event", G_TYPE_FROM_CLASS (klass), G_SIGNAL_RUN_LAST, 0,
      NULL, NULL, g_cclosure_marshal_VOID__OBJECT, G_TYPE_NONE, 1,
      CON_IC_TYPE_CONNECTION_EVENT);
}

static void
con_ic_connection_init (ConIcConnection *c)
{
  g_atomic_int_inc (&live_objects);
  last_created = c;
}

ConIcConnection *
con_ic_connection_new (void)
{
  return g_object_new (CON_IC_TYPE_CONNECTION, NULL);
}

typedef struct
{
  ConIcConnection *connection; /* not a reference: dispose removes us */
  GSource *source;
} Answer;

static gboolean
answer_request (gpointer data)
{
  Answer *answer = data;
  ConIcConnection *c = answer->connection;
  c->answers = g_slist_remove (c->answers, answer->source);
  g_source_unref (answer->source);
  emit_status (c, monitor_status (c->monitor));
  return G_SOURCE_REMOVE;
}

gboolean
con_ic_connection_connect (ConIcConnection *c, guint flags)
{
  g_return_val_if_fail (CON_IC_IS_CONNECTION (c), FALSE);
  (void) flags;
  c->requests++;
  if (c->scripted)
    return !c->refused;

  if (c->monitor == NULL)
    {
      c->monitor = g_object_ref (g_network_monitor_get_default ());
      c->changed_id = g_signal_connect (c->monitor, "network-changed",
                                        G_CALLBACK (on_network_changed), c);
    }
  Answer *answer = g_new0 (Answer, 1);
  answer->connection = c;
  answer->source = g_idle_source_new ();
  g_source_set_priority (answer->source, G_PRIORITY_DEFAULT);
  g_source_set_callback (answer->source, answer_request, answer, g_free);
  c->answers = g_slist_prepend (c->answers, answer->source);
  g_source_attach (answer->source, g_main_context_get_thread_default ());
  return TRUE;
}

/* Testing hooks */

ConIcConnection *
con_ic_connection_testing_last_created (void)
{
  return last_created;
}

void
con_ic_connection_testing_script (ConIcConnection *c)
{
  g_return_if_fail (CON_IC_IS_CONNECTION (c));
  c->scripted = TRUE;
}

void
con_ic_connection_testing_refuse (ConIcConnection *c, gboolean refuse)
{
  g_return_if_fail (CON_IC_IS_CONNECTION (c));
  c->refused = refuse;
}

guint
con_ic_connection_testing_requests (ConIcConnection *c)
{
  g_return_val_if_fail (CON_IC_IS_CONNECTION (c), 0);
  return c->requests;
}

void
con_ic_connection_testing_emit (ConIcConnection *c, gint status)
{
  g_return_if_fail (CON_IC_IS_CONNECTION (c));
  emit_status (c, status);
}

gint
con_ic_connection_testing_live_objects (void)
{
  return g_atomic_int_get (&live_objects);
}
