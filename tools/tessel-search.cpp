/* tessel search: the rows of any SQL query on the Metadata table. */
#include "tessel.h"

#include <string.h>

#include <json-glib/json-glib.h>

#include <string>
#include <utility>
#include <vector>

#include "metadata.h"

namespace
{

using Row = std::vector<std::pair<std::string, std::string>>;

/* The rows of one search, gathered by its callback.  An asynchronous
 * search calls back on its own thread, hence the lock: a POSIX one, which
 * ThreadSanitizer understands. */
struct Results
{
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
  std::vector<Row> rows;
  bool ended = false;
};

void
collect (const gchar *filename, gchar **keys, gchar **values,
         gpointer user_data, gint search_id) noexcept
{
  (void) filename;
  (void) search_id;
  auto results = static_cast<Results *> (user_data);
  pthread_mutex_lock (&results->lock);
  try
    {
      if (keys == NULL)
        results->ended = true;
      else
        {
          Row row;
          for (int i = 0; keys[i] != NULL; i++)
            row.emplace_back (keys[i], values[i] != NULL ? values[i] : "");
          results->rows.push_back (std::move (row));
        }
    }
  catch (...)
    {
      /* Out of memory: the row is lost, the search goes on. */
    }
  pthread_cond_signal (&results->cond);
  pthread_mutex_unlock (&results->lock);
}

/* Column names in the order they first appear; a row leaves out its NULL
 * and empty columns, so rows may differ. */
std::vector<std::string>
column_names (const std::vector<Row> &rows)
{
  std::vector<std::string> names;
  for (const Row &row : rows)
    for (const auto &pair : row)
      {
        bool known = false;
        for (const std::string &n : names)
          known = known || n == pair.first;
        if (!known)
          names.push_back (pair.first);
      }
  return names;
}

const std::string *
cell (const Row &row, const std::string &name)
{
  for (const auto &pair : row)
    if (pair.first == name)
      return &pair.second;
  return nullptr;
}

/* TAB and newline would break the table's lines: shown as \t and \n. */
gchar *
table_text (const std::string &text)
{
  GString *out = g_string_new (NULL);
  for (char c : text)
    if (c == '\t')
      g_string_append (out, "\\t");
    else if (c == '\n')
      g_string_append (out, "\\n");
    else
      g_string_append_c (out, c);
  return g_string_free (out, FALSE);
}

void
print_table (const std::vector<Row> &rows)
{
  std::vector<std::string> names = column_names (rows);
  std::vector<const char *> header;
  for (const std::string &n : names)
    header.push_back (n.c_str ());
  g_autoptr (GPtrArray) cells = g_ptr_array_new_with_free_func (
      reinterpret_cast<GDestroyNotify> (g_strfreev));
  for (const Row &row : rows)
    {
      gchar **line = g_new0 (gchar *, names.size () + 1);
      /* A column the row left out is printed empty. */
      for (size_t c = 0; c < names.size (); c++)
        {
          const std::string *value = cell (row, names[c]);
          line[c] = table_text (value != nullptr ? *value : std::string ());
        }
      g_ptr_array_add (cells, line);
    }
  tessel_print_table (stdout, header.data (), names.size (), cells);
}

void
print_json (const std::vector<Row> &rows)
{
  g_autoptr (JsonBuilder) builder = json_builder_new ();
  json_builder_begin_array (builder);
  for (const Row &row : rows)
    {
      json_builder_begin_object (builder);
      for (const auto &pair : row)
        {
          json_builder_set_member_name (builder, pair.first.c_str ());
          json_builder_add_string_value (builder, pair.second.c_str ());
        }
      json_builder_end_object (builder);
    }
  json_builder_end_array (builder);
  g_autoptr (JsonNode) root = json_builder_get_root (builder);
  g_autoptr (JsonGenerator) generator = json_generator_new ();
  json_generator_set_pretty (generator, TRUE);
  json_generator_set_root (generator, root);
  g_autofree gchar *text = json_generator_to_data (generator, NULL);
  printf ("%s\n", text);
}

} // namespace

int
tessel_cmd_search (int argc, char **argv)
{
  gboolean json = FALSE;
  gboolean async = FALSE;
  gint priority = 10;
  const GOptionEntry entries[] = {
    { "json", 0, 0, G_OPTION_ARG_NONE, &json,
      "Print the rows as a JSON array of objects", NULL },
    { "async", 0, 0, G_OPTION_ARG_NONE, &async,
      "Run the query in a search process of its own", NULL },
    { "priority", 0, 0, G_OPTION_ARG_INT, &priority,
      "Nice value of the search process with --async (default 10)", "N" },
    { NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL }
  };
  TesselCommonOptions common;
  if (!tessel_parse (&argc, &argv, entries, "\"SQL\"",
                     "Run one SQL statement on the Metadata table and print "
                     "its rows, one column per\nresult column.  NULL and "
                     "empty values are left empty.",
                     &common))
    return 2;
  if (argc != 2)
    {
      tessel_error (argc < 2 ? "search: a query is needed"
                             : "search: give the query as one argument");
      return 2;
    }
  if (!tessel_open (&common))
    return 1;

  Results results;
  int status = 0;
  if (async)
    {
      if (meta_search_async (priority, argv[1], collect, &results) != 0)
        {
          tessel_error ("search: cannot start an asynchronous search");
          status = 1;
        }
      else
        {
          /* A query that fails in the search process just ends early. */
          pthread_mutex_lock (&results.lock);
          while (!results.ended)
            pthread_cond_wait (&results.cond, &results.lock);
          pthread_mutex_unlock (&results.lock);
          /* The slot is freed once the search process is reaped; wait for
           * it so that no child outlives the command. */
          for (;;)
            {
              pthread_mutex_lock (&search_lock);
              bool running = search_ids[0].state != -1;
              pthread_mutex_unlock (&search_lock);
              if (!running)
                break;
              g_usleep (1000);
            }
        }
    }
  else if (!meta_search_sync (argv[1], collect, &results))
    {
      tessel_error ("search: the query failed: %s", argv[1]);
      status = 1;
    }

  if (status == 0)
    {
      if (json)
        print_json (results.rows);
      else if (!results.rows.empty ())
        print_table (results.rows);
    }
  meta_destruct ();
  return status;
}
