/* Station directory client: the node records and trees that the browser
 * and its HTTP backend both build and hand out, the error domain, and the
 * counts tests read.  It depends on neither of them. */
#include "gisds.h"
#include "gisds-private.h"

static gint live_nodes;
static gint outstanding;

GQuark
isds_error_quark (void)
{
  return g_quark_from_static_string ("isds-error-quark");
}

/* Node records */

IsdsNode *
isds_node_record_new (void)
{
  g_atomic_int_inc (&live_nodes);
  return g_new0 (IsdsNode, 1);
}

static void
genre_free (gpointer data)
{
  IsdsGenre *genre = data;
  if (genre == NULL)
    return;
  g_free (genre->name);
  g_free (genre);
}

static void
server_free (gpointer data)
{
  IsdsServer *server = data;
  if (server == NULL)
    return;
  g_free (server->name);
  g_free (server->url);
  g_free (server);
}

static void
node_record_free (IsdsNode *record)
{
  if (record == NULL)
    return;
  g_free (record->name);
  g_free (record->id);
  g_free (record->description);
  g_slist_free_full (record->genres, genre_free);
  g_slist_free_full (record->servers, server_free);
  g_free (record);
  g_atomic_int_add (&live_nodes, -1);
}

static gpointer
node_record_copy (gconstpointer src, gpointer unused)
{
  const IsdsNode *from = src;
  (void) unused;
  if (from == NULL)
    return NULL;
  IsdsNode *to = isds_node_record_new ();
  to->type = from->type;
  to->name = g_strdup (from->name);
  to->id = g_strdup (from->id);
  to->count = from->count;
  to->description = g_strdup (from->description);
  for (GSList *l = from->genres; l != NULL; l = l->next)
    {
      const IsdsGenre *g = l->data;
      IsdsGenre *copy = NULL;
      if (g != NULL)
        {
          copy = g_new0 (IsdsGenre, 1);
          copy->name = g_strdup (g->name);
        }
      to->genres = g_slist_prepend (to->genres, copy);
    }
  to->genres = g_slist_reverse (to->genres);
  for (GSList *l = from->servers; l != NULL; l = l->next)
    {
      const IsdsServer *s = l->data;
      IsdsServer *copy = NULL;
      if (s != NULL)
        {
          copy = g_new0 (IsdsServer, 1);
          copy->name = g_strdup (s->name);
          copy->url = g_strdup (s->url);
          copy->bitrate = s->bitrate;
        }
      to->servers = g_slist_prepend (to->servers, copy);
    }
  to->servers = g_slist_reverse (to->servers);
  return to;
}

static gboolean
free_node_data (GNode *node, gpointer unused)
{
  (void) unused;
  node_record_free (node->data);
  node->data = NULL;
  return FALSE;
}

/* Tree helpers */

void
isds_browser_free_nodes_tree (GNode *tree)
{
  if (tree == NULL)
    return;
  g_node_traverse (tree, G_POST_ORDER, G_TRAVERSE_ALL, -1, free_node_data,
                   NULL);
  g_node_destroy (tree);
}

static void
free_tree_item (gpointer tree)
{
  isds_browser_free_nodes_tree (tree);
}

void
isds_browser_free_nodes_tree_slist (GSList *trees)
{
  g_slist_free_full (trees, free_tree_item);
}

GNode *
isds_browser_copy_nodes_tree (GNode *node)
{
  if (node == NULL)
    return NULL;
  return g_node_copy_deep (node, node_record_copy, NULL);
}

GSList *
isds_browser_copy_nodes_tree_slist (GSList *trees)
{
  GSList *copy = NULL;
  for (GSList *l = trees; l != NULL; l = l->next)
    copy = g_slist_prepend (copy, isds_browser_copy_nodes_tree (l->data));
  return g_slist_reverse (copy);
}

typedef struct
{
  const gchar *id;
  GNode *found;
} FindChannel;

static gboolean
match_channel (GNode *node, gpointer data)
{
  FindChannel *find = data;
  const IsdsNode *record = node->data;
  if (record != NULL && record->type == ISDS_NODE_CHANNEL
      && g_strcmp0 (record->id, find->id) == 0)
    {
      find->found = node;
      return TRUE;
    }
  return FALSE;
}

GNode *
isds_browser_find_channel_node (GNode *tree, const gchar *id)
{
  if (tree == NULL || id == NULL)
    return NULL;
  FindChannel find = { id, NULL };
  g_node_traverse (tree, G_PRE_ORDER, G_TRAVERSE_ALL, -1, match_channel,
                   &find);
  return find.found;
}

/* Counters */

void
isds_outstanding_add (gint delta)
{
  g_atomic_int_add (&outstanding, delta);
}

gint
isds_browser_testing_live_nodes (void)
{
  return g_atomic_int_get (&live_nodes);
}

gint
isds_browser_testing_outstanding (void)
{
  return g_atomic_int_get (&outstanding);
}
