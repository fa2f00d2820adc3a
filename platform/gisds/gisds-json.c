/* The directory client's reading of JSON, from the service's answers and
 * from its own cache files alike: a byte scan that bounds the text before
 * the parser sees it, then the trees of listings and presets.  It uses the
 * node records of gisds-nodes.c and nothing else of the client. */
#include "gisds-private.h"

#include <string.h>

/* The parser recurses once per level of nesting and keeps every value in
 * memory at many times its size in the text; both are bounded here, where
 * a pass over the bytes costs nothing.  Only double-quoted strings and the
 * tokens of strict JSON pass: the parser would also take single-quoted
 * strings and comments, whose brackets the scan would not see. */
static gboolean
scan_fail (GError **error, gint code, const gchar *reason)
{
  g_set_error_literal (error, ISDS_ERROR, code, reason);
  return FALSE;
}

/* Moves *at past the string whose opening quote it points at.  A \u0000
 * escape is rewritten in place to \uFFFD, so that a name keeps a visible
 * mark where the parser would cut it short.  FALSE when the string does
 * not end or holds a NUL byte. */
static gboolean
scan_string (gchar *text, gsize len, gsize *at)
{
  for (gsize i = *at + 1; i < len; i++)
    {
      if (text[i] == '"')
        {
          *at = i;
          return TRUE;
        }
      if (text[i] == '\0')
        return FALSE;
      if (text[i] == '\\')
        {
          if (i + 5 < len && text[i + 1] == 'u'
              && memcmp (text + i + 2, "0000", 4) == 0)
            memcpy (text + i + 2, "FFFD", 4);
          i++;
        }
    }
  return FALSE;
}

gboolean
isds_json_scan (gchar *text, gsize len, guint max_depth, GError **error)
{
  guint commas[ISDS_JSON_CACHE_DEPTH + 1] = { 0 };
  guint depth = 0;
  gsize values = 0;
  gboolean root_seen = FALSE;
  g_return_val_if_fail (max_depth <= ISDS_JSON_CACHE_DEPTH, FALSE);

  for (gsize i = 0; i < len; i++)
    {
      gchar c = text[i];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
        continue;
      /* Everything but blanks belongs inside the one top container. */
      if (depth == 0 && (root_seen || (c != '[' && c != '{')))
        return scan_fail (error, ISDS_ERROR_MALFORMED,
                          "not one JSON array or object");
      switch (c)
        {
        case '"':
          if (!scan_string (text, len, &i))
            return scan_fail (error, ISDS_ERROR_MALFORMED,
                              "a string that does not end");
          break;
        case '[':
        case '{':
          if (depth == max_depth)
            return scan_fail (error, ISDS_ERROR_MALFORMED,
                              "nested deeper than a listing is");
          commas[++depth] = 0;
          root_seen = TRUE;
          values++;
          break;
        case ']':
        case '}':
          depth--;
          break;
        case ',':
          if (++commas[depth] >= ISDS_JSON_MAX_ENTRIES)
            return scan_fail (error, ISDS_ERROR_TOO_LARGE,
                              "more entries than a listing may have");
          values++;
          break;
        case ':':
          values++;
          break;
        default:
          if (strchr ("0123456789+-.eEtrufalsn", c) == NULL)
            return scan_fail (error, ISDS_ERROR_MALFORMED,
                              "not JSON text");
          break;
        }
      if (values > ISDS_JSON_MAX_VALUES)
        return scan_fail (error, ISDS_ERROR_TOO_LARGE,
                          "more values than a listing may have");
    }
  if (!root_seen || depth != 0)
    return scan_fail (error, ISDS_ERROR_MALFORMED,
                      root_seen ? "JSON text that does not end"
                                : "no JSON text");
  return TRUE;
}

JsonNode *
isds_json_parse (gchar *text, gsize len, guint max_depth, GError **error)
{
  if (!isds_json_scan (text, len, max_depth, error))
    return NULL;
  g_autoptr (JsonParser) parser = json_parser_new ();
  g_autoptr (GError) local = NULL;
  if (!json_parser_load_from_data (parser, text, (gssize) len, &local))
    {
      g_set_error_literal (error, ISDS_ERROR, ISDS_ERROR_MALFORMED,
                           local->message);
      return NULL;
    }
  return json_parser_steal_root (parser);
}

/* Values of an element */

const gchar *
isds_json_member_string (JsonObject *o, const gchar *name)
{
  JsonNode *n = json_object_get_member (o, name);
  if (n != NULL && JSON_NODE_HOLDS_VALUE (n)
      && json_node_get_value_type (n) == G_TYPE_STRING)
    {
      const gchar *s = json_node_get_string (n);
      return s != NULL && *s != '\0' ? s : NULL;
    }
  return NULL;
}

static gint
member_int (JsonObject *o, const gchar *name)
{
  JsonNode *n = json_object_get_member (o, name);
  if (n == NULL || !JSON_NODE_HOLDS_VALUE (n))
    return 0;
  gdouble value;
  GType type = json_node_get_value_type (n);
  if (type == G_TYPE_INT64)
    value = (gdouble) json_node_get_int (n);
  else if (type == G_TYPE_DOUBLE)
    value = json_node_get_double (n);
  else
    return 0;
  if (value > G_MAXINT)
    return G_MAXINT;
  if (value < 0)
    return 0;
  return (gint) value;
}

GNode *
isds_json_node_new (gint type, const gchar *name, const gchar *id,
                    gint count)
{
  IsdsNode *record = isds_node_record_new ();
  record->type = type;
  record->name = g_strdup (name);
  record->id = g_strdup (id);
  record->count = count;
  return g_node_new (record);
}

/* The element at i as an object, or NULL when it is anything else. */
static JsonObject *
object_element (JsonArray *array, guint i)
{
  JsonNode *element = json_array_get_element (array, i);
  return JSON_NODE_HOLDS_OBJECT (element) ? json_node_get_object (element)
                                          : NULL;
}

/* A station as a channel node, or NULL when it has no id or no stream.
 * Its one stream carries the station's name only when named is TRUE: a
 * player turns the first stream's name, when present, into the uri of the
 * channel's entry in a listing, where the stream URL belongs. */
static GNode *
station_node (JsonObject *o, gboolean named)
{
  const gchar *uuid = isds_json_member_string (o, "stationuuid");
  const gchar *stream = isds_json_member_string (o, "url_resolved");
  if (stream == NULL)
    stream = isds_json_member_string (o, "url");
  if (uuid == NULL || stream == NULL)
    return NULL;
  const gchar *name = isds_json_member_string (o, "name");
  if (name == NULL)
    name = stream;
  GNode *node = isds_json_node_new (ISDS_NODE_CHANNEL, name, uuid, 1);
  IsdsNode *record = node->data;

  const gchar *tags = isds_json_member_string (o, "tags");
  const gchar *homepage = isds_json_member_string (o, "homepage");
  record->description = g_strdup (tags != NULL ? tags : homepage);
  if (tags != NULL)
    {
      g_auto (GStrv) split = g_strsplit (tags, ",", -1);
      for (gchar **t = split; *t != NULL; t++)
        {
          g_strstrip (*t);
          if (**t == '\0')
            continue;
          IsdsGenre *genre = g_new0 (IsdsGenre, 1);
          genre->name = g_strdup (*t);
          record->genres = g_slist_prepend (record->genres, genre);
        }
      record->genres = g_slist_reverse (record->genres);
    }

  IsdsServer *server = g_new0 (IsdsServer, 1);
  server->name = named ? g_strdup (name) : NULL;
  server->url = g_strdup (stream);
  server->bitrate = member_int (o, "bitrate");
  record->servers = g_slist_append (NULL, server);
  return node;
}

GNode *
isds_json_listing (IsdsTestingListing kind, const gchar *title,
                   JsonArray *array, GError **error)
{
  gboolean stations = kind == ISDS_TESTING_HOTPICKS
                       || isds_listing_is_named (kind);
  guint n = json_array_get_length (array);
  GNode *top = isds_json_node_new (ISDS_NODE_DIRECTORY, title, title, 0);
  gint children = 0;
  /* Prepended, then turned round once: appending walks the whole child
   * list every time. */
  for (guint i = 0; i < n; i++)
    {
      JsonObject *o = object_element (array, i);
      if (o == NULL)
        continue;
      GNode *child;
      if (stations)
        child = station_node (o, FALSE);
      else
        {
          const gchar *entry = isds_json_member_string (o, "name");
          child = entry != NULL
                      ? isds_json_node_new (ISDS_NODE_ENTRY, entry, entry,
                                            member_int (o, "stationcount"))
                      : NULL;
        }
      if (child == NULL)
        continue;
      g_node_prepend (top, child);
      children++;
    }
  g_node_reverse_children (top);
  ((IsdsNode *) top->data)->count = children;
  /* Elements that are all of the wrong shape are no listing, but what a
   * broken or hostile server sends; an empty listing is a listing. */
  if (n > 0 && children == 0)
    {
      isds_browser_free_nodes_tree (top);
      g_set_error (error, ISDS_ERROR, ISDS_ERROR_MALFORMED,
                   "none of the %u elements is a %s", n,
                   stations ? "station" : "listing entry");
      return NULL;
    }
  return top;
}

static const gchar *
channel_id (GNode *channel)
{
  const IsdsNode *record = channel != NULL ? channel->data : NULL;
  return record != NULL ? record->id : NULL;
}

GSList *
isds_json_presets (JsonArray *array, GSList *channels)
{
  g_autoptr (GHashTable) asked = g_hash_table_new (g_str_hash, g_str_equal);
  for (GSList *l = channels; l != NULL; l = l->next)
    if (channel_id (l->data) != NULL)
      g_hash_table_add (asked, (gpointer) channel_id (l->data));
  GSList *presets = NULL;
  guint n = json_array_get_length (array);
  for (guint i = 0; i < n; i++)
    {
      JsonObject *o = object_element (array, i);
      GNode *channel = o != NULL ? station_node (o, TRUE) : NULL;
      if (channel == NULL)
        continue;
      /* A station not asked for would pass for the one that was; each
       * is taken once. */
      if (!g_hash_table_remove (asked, channel_id (channel)))
        {
          isds_browser_free_nodes_tree (channel);
          continue;
        }
      presets = g_slist_prepend (presets, channel);
    }
  return g_slist_reverse (presets);
}
