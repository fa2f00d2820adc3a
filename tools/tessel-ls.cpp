/* tessel ls: the stored rows as a table, or as JSON. */
#include "tessel.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "metadata.h"

namespace
{

/* The columns ls shows, in the order of its query. */
const char *const shown[] = { "Filename", "Title", "Artist", "Album",
                              "Length", "Present" };

/* The columns of Metadata, from the header of a query of its schema. */
void
add_column_name (gint columns, const gchar *const *names, const gint *types,
                 const gchar *const *values, gpointer user_data) noexcept
{
  (void) types;
  auto known = static_cast<std::vector<std::string> *> (user_data);
  for (gint i = 0; values != NULL && i < columns; i++)
    if (g_strcmp0 (names[i], "name") == 0 && values[i] != NULL)
      known->emplace_back (values[i]);
}

/* The query of every named row, ordered as the listing is (ASCII case
 * folded, then byte order, as tessel_compare_names does): one pass over
 * the table instead of a lookup per key of every row.  A column the table
 * lacks (a database from elsewhere) reads as NULL, as the key reads did. */
std::string
rows_query ()
{
  std::vector<std::string> known;
  meta_search_columns ("PRAGMA table_info(Metadata)", add_column_name,
                       &known, NULL);
  std::string query = "SELECT ";
  for (const char *column : shown)
    {
      gboolean exists = FALSE;
      for (const std::string &k : known)
        exists = exists || g_ascii_strcasecmp (k.c_str (), column) == 0;
      query += exists ? column : "NULL";
      query += column == shown[G_N_ELEMENTS (shown) - 1] ? " " : ", ";
    }
  /* "+" keeps the planner off the index of file names: every row is
   * read anyway, and in table order that takes half the time of a walk
   * through the index that looks up each row. */
  return query + "FROM Metadata WHERE +Filename IS NOT NULL ORDER BY "
                 "Filename COLLATE NOCASE, Filename";
}

/* What ls shows of one row, as the table shows it: the file name with
 * " (absent)" for a row marked absent, empty texts for missing values. */
struct Row
{
  std::string cells[5];
};

struct Listing
{
  gboolean all = FALSE;
  /* The rows of the table; the JSON is written as they come instead. */
  std::vector<Row> rows;
  TesselJsonWriter *json = NULL;
};

/* The low 32 bits of an integer value, as the key reads give them. */
gint32
low_bits (const gchar *value)
{
  return static_cast<gint32> (
      static_cast<guint32> (g_ascii_strtoll (value, NULL, 10)));
}

/* Writes "key": text, or null for an empty text. */
void
write_text (TesselJsonWriter *json, const char *key, const char *text)
{
  json->member (key);
  json->text (*text != '\0' ? text : NULL);
}

void
add_row (gint columns, const gchar *const *names, const gint *types,
         const gchar *const *values, gpointer user_data) noexcept
{
  (void) names;
  auto listing = static_cast<Listing *> (user_data);
  if (values == NULL)
    {
      /* The header: the query ran, its rows follow. */
      if (listing->json != NULL)
        listing->json->begin_array ();
      return;
    }
  if (columns != G_N_ELEMENTS (shown) || types[0] != META_TYPE_TEXT)
    return;
  /* Only text reads as text, only an integer as a number. */
  gboolean present
      = types[5] == META_TYPE_INTEGER && low_bits (values[5]) != 0;
  if (!present && !listing->all)
    return;
  const char *texts[3];
  for (int i = 0; i < 3; i++)
    texts[i] = types[i + 1] == META_TYPE_TEXT ? values[i + 1] : "";
  gint32 length = types[4] == META_TYPE_INTEGER ? low_bits (values[4]) : -1;
  if (TesselJsonWriter *json = listing->json)
    {
      json->begin_object ();
      write_text (json, "file", values[0]);
      write_text (json, "title", texts[0]);
      write_text (json, "artist", texts[1]);
      write_text (json, "album", texts[2]);
      json->member ("length");
      if (length < 0)
        json->null ();
      else
        json->integer (length);
      json->member ("present");
      json->boolean (present);
      json->end_object ();
      return;
    }
  listing->rows.push_back (
      { { present ? std::string (values[0])
                  : std::string (values[0]) + " (absent)",
          texts[0], texts[1], texts[2], tessel_duration_text (length) } });
}

void
print_table (const std::vector<Row> &rows)
{
  const char *const header[]
      = { "FILE", "TITLE", "ARTIST", "ALBUM", "LENGTH" };
  const guint columns = G_N_ELEMENTS (header);
  /* The cells point into rows, which outlive the table. */
  std::vector<const char *> texts;
  texts.reserve (rows.size () * columns);
  for (const Row &row : rows)
    for (const std::string &cell : row.cells)
      texts.push_back (cell.c_str ());
  g_autoptr (GPtrArray) cells = g_ptr_array_sized_new (rows.size ());
  for (gsize r = 0; r < rows.size (); r++)
    g_ptr_array_add (cells, &texts[r * columns]);
  tessel_print_table (stdout, header, columns, cells);
}

} // namespace

int
tessel_cmd_ls (int argc, char **argv)
{
  gboolean all = FALSE;
  gboolean json = FALSE;
  const GOptionEntry entries[] = {
    { "all", 'a', 0, G_OPTION_ARG_NONE, &all,
      "Also list rows marked absent", NULL },
    { "json", 0, 0, G_OPTION_ARG_NONE, &json,
      "Print the rows as a JSON array (length in seconds)", NULL },
    { NULL, 0, 0, G_OPTION_ARG_NONE, NULL, NULL, NULL }
  };
  TesselCommonOptions common;
  if (int status = tessel_parse_and_open (
          &argc, &argv, entries,
          "List the stored rows: file, title, artist, album and "
          "length (h:mm:ss),\nsorted by file name ignoring case.  Rows of "
          "files marked absent are left out unless\n--all is "
          "given, which shows them with \"(absent)\" after the "
          "name.",
          &common))
    return status;

  Listing listing;
  listing.all = all;
  TesselJsonWriter writer (stdout);
  if (json)
    listing.json = &writer;
  /* The rows come only once the query has run to its end: a failure
   * prints nothing on stdout. */
  if (!meta_search_columns (rows_query ().c_str (), add_row, &listing, NULL))
    {
      /* A table that cannot be read is not an empty library. */
      tessel_error ("cannot read the stored rows of '%s'",
                    tessel_database_path (&common));
      meta_destruct ();
      return 1;
    }
  if (json)
    {
      writer.end_array ();
      writer.finish ();
    }
  else
    print_table (listing.rows);
  meta_destruct ();
  return 0;
}
