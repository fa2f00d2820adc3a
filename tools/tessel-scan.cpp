#include "tessel-scan.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "metadata_conf.h"
#include "tessel.h"

std::string
tessel_scan_root (const char *arg)
{
  g_autofree gchar *canonical = tessel_canonical_path (arg);
  return canonical;
}

gboolean
tessel_scan_is_below (const std::string &name, const std::string &root)
{
  return name.compare (0, root.size (), root) == 0
         && (name.size () == root.size () || root == "/"
             || name[root.size ()] == '/');
}

static void
scan_error (const char *what, const std::string &path, const char *why)
{
  tessel_error ("%s '%s': %s", what, path.c_str (), why);
}

void
tessel_scan_walk (const std::string &path, TesselScan *scan, gboolean top)
{
  struct stat st;
  if ((top ? stat (path.c_str (), &st) : lstat (path.c_str (), &st)) != 0)
    {
      if (top)
        {
          scan_error ("cannot read", path, g_strerror (errno));
          scan->failed = TRUE;
        }
      return;
    }
  if (S_ISLNK (st.st_mode))
    {
      /* A link to a file counts as the file. */
      if (stat (path.c_str (), &st) != 0 || !S_ISREG (st.st_mode))
        return;
    }
  if (S_ISDIR (st.st_mode))
    {
      if (scan->entering)
        scan->entering (path);
      g_autoptr (GError) error = NULL;
      g_autoptr (GDir) dir = g_dir_open (path.c_str (), 0, &error);
      if (dir == NULL)
        {
          scan_error ("cannot read folder", path, error->message);
          scan->failed = TRUE;
          return;
        }
      scan->folders.push_back (path);
      std::vector<std::string> names;
      const gchar *name;
      while ((name = g_dir_read_name (dir)) != NULL)
        names.emplace_back (name);
      std::sort (names.begin (), names.end ());
      for (const std::string &n : names)
        tessel_scan_walk (path == "/" ? "/" + n : path + "/" + n, scan, FALSE);
      return;
    }
  if (!S_ISREG (st.st_mode))
    return;
  scan->counts.seen++;
  /* An empty file has nothing to extract and cannot be judged later. */
  gboolean mapped = meta_has_recognized_extension (path.c_str ());
  gboolean wanted = st.st_size > 0 && mapped;
  if (wanted && path.size () > TESSEL_SCAN_NAME_MAX)
    {
      /* The library would skip it without a word, every run again. */
      tessel_error ("name too long to store (%zu bytes, at most %d): '%s'",
                    path.size (), TESSEL_SCAN_NAME_MAX, path.c_str ());
      scan->counts.too_long++;
      scan->failed = TRUE;
      wanted = FALSE;
    }
  if (wanted)
    {
      scan->candidates.push_back (path);
      scan->stamps.push_back ({ st.st_size, st.st_mtime });
    }
  else
    scan->counts.skipped++;
  if (!mapped)
    scan->counts.unmapped++;
}

/* text as an SQL string literal. */
static std::string
sql_literal (const std::string &text)
{
  std::string literal = "'";
  for (char c : text)
    literal += c == '\'' ? std::string ("''") : std::string (1, c);
  return literal + "'";
}

/* The query of the rows at or below root.  Only those rows are read: a
 * range of the name index ("/" is followed by "0" in byte order), so that
 * the cost follows the folders looked at, not the size of the library. */
static std::string
rows_below_query (const std::string &root)
{
  std::string below = root == "/" ? "/" : root + "/";
  std::string after = below.substr (0, below.size () - 1) + "0";
  return "SELECT Filename, Filesize, LastModification, Present FROM "
         "Metadata WHERE Filename = "
         + sql_literal (root) + " OR (Filename >= " + sql_literal (below)
         + " AND Filename < " + sql_literal (after) + ")";
}

/* The low 32 bits of an integer column, as the library reads it. */
static gint32
low_bits (const gint *types, const gchar *const *values, gint column)
{
  if (types[column] != META_TYPE_INTEGER || values[column] == NULL)
    return 0;
  gint64 number = g_ascii_strtoll (values[column], NULL, 10);
  return static_cast<gint32> (static_cast<guint32> (number));
}

void
TesselScanRows::add_row (gint columns, const gchar *const *names,
                         const gint *types, const gchar *const *values,
                         gpointer user_data) noexcept
{
  (void) names;
  if (types == NULL || columns != 4 || types[0] != META_TYPE_TEXT
      || values[0] == NULL)
    return;
  Row row;
  row.size = low_bits (types, values, 1);
  row.lastmodified = low_bits (types, values, 2);
  /* Present counts as set when its whole integer is not 0. */
  row.present = types[3] == META_TYPE_INTEGER && values[3] != NULL
                && g_ascii_strtoll (values[3], NULL, 10) != 0;
  /* A lookup by name finds the first of equal names. */
  static_cast<TesselScanRows *> (user_data)->rows.emplace (values[0], row);
}

void
TesselScanRows::read (const std::vector<std::string> &roots)
{
  for (const std::string &root : roots)
    if (meta_search_columns (rows_below_query (root).c_str (), add_row,
                             this, NULL))
      covered.push_back (root);
}

gboolean
TesselScanRows::covers (const std::string &name) const
{
  for (const std::string &root : covered)
    if (tessel_scan_is_below (name, root))
      return TRUE;
  return FALSE;
}

/* TRUE when a whole component of name is "mmc1" or "mmc2": the library
 * knows a memory card's files under both cards' names, so whether such a
 * file has a row is left to the library to say. */
static gboolean
names_a_card (const std::string &name)
{
  for (gsize p = name.find ("/mmc"); p != std::string::npos;
       p = name.find ("/mmc", p + 1))
    if (p + 4 < name.size () && (name[p + 4] == '1' || name[p + 4] == '2')
        && (p + 5 == name.size () || name[p + 5] == '/'))
      return TRUE;
  return FALSE;
}

int
TesselScanRows::is_modified_or_new (const std::string &name,
                                    gchar *modified, gchar *present,
                                    const TesselScanStamp *seen) const
{
  auto found = rows.find (name);
  if (found == rows.end ())
    {
      if (!covers (name) || names_a_card (name))
        return meta_is_modified_or_new (name.c_str (), modified, present);
      *present = 0;
      *modified = 1;
      return 1;
    }
  *present = found->second.present;
  TesselScanStamp now;
  if (seen == nullptr)
    {
      struct stat st;
      if (stat (name.c_str (), &st) != 0 || !S_ISREG (st.st_mode))
        return 0;
      now = { st.st_size, st.st_mtime };
      seen = &now;
    }
  if (seen->size == 0)
    return 0;
  /* The row holds the time as 32 bits. */
  *modified = (static_cast<gint32> (seen->mtime) != found->second.lastmodified
               || seen->size != static_cast<off_t> (found->second.size))
                  ? 1
                  : 0;
  return 1;
}

std::vector<std::string>
TesselScanRows::names () const
{
  std::vector<std::string> all;
  all.reserve (rows.size ());
  for (const auto &row : rows)
    all.push_back (row.first);
  return all;
}

/* tessel_scan_judge, with the file as seen (NULL: looked at now). */
static gboolean
judge (const std::string &name, const TesselScanRows &rows,
       const TesselScanStamp *seen, TesselScan *scan)
{
  gchar modified = 1, present = 0;
  if (!rows.is_modified_or_new (name, &modified, &present, seen))
    {
      scan->counts.skipped++; /* empty, or not a regular file any more */
      return FALSE;
    }
  if (modified)
    return TRUE;
  /* Back after having been marked absent, unchanged. */
  if (!present)
    meta_set_present (name.c_str ());
  scan->counts.unchanged++;
  return FALSE;
}

gboolean
tessel_scan_judge (const std::string &name, const TesselScanRows &rows,
                   TesselScan *scan)
{
  return judge (name, rows, NULL, scan);
}

std::vector<std::string>
tessel_scan_judge_all (const std::vector<std::string> &roots,
                       TesselScan *scan)
{
  TesselScanRows rows;
  if (!scan->candidates.empty ())
    rows.read (roots);
  std::vector<std::string> to_index;
  for (gsize i = 0; i < scan->candidates.size (); i++)
    if (judge (scan->candidates[i], rows, &scan->stamps[i], scan))
      to_index.push_back (scan->candidates[i]);
  return to_index;
}

void
tessel_scan_hand_over (const std::vector<std::string> &names, gsize first,
                       gsize n, MetaProgressFunc progress)
{
  std::vector<gchar *> batch;
  for (gsize i = 0; i < n; i++)
    batch.push_back (const_cast<gchar *> (names[first + i].c_str ()));
  batch.push_back (NULL);
  meta_add_files_with_check (batch.data (), static_cast<gint> (n), progress,
                             0);
}

gboolean
tessel_scan_row_is_current (const std::string &name,
                            const TesselScanRows &rows)
{
  gchar modified = 1, present = 0;
  return rows.is_modified_or_new (name, &modified, &present) && !modified
         && present;
}

/* Why files of the plug-in libname were not stored, asked of the plug-in
 * with one of them (file) as the indexer would: it cannot be loaded, it
 * extracts nothing, or it does and the database took nothing.  libname
 * is NULL when no plug-in is configured for the file (any more). */
static std::string
not_stored_reason (const gchar *libname, const std::string &file)
{
  if (libname == NULL)
    return "no plug-in is configured for them";
  g_autoptr (GError) error = NULL;
  MetaItem *list
      = meta_extract_with_plugin (libname, NULL, file.c_str (), &error);
  gboolean extracted = list != NULL;
  meta_free_list (&list);
  /* The library's messages start with the name of their code ("Failed:
   * "), which says nothing here. */
  if (error != NULL)
    {
      const char *detail = strstr (error->message, ": ");
      return error->domain == meta_error_quark () && detail != NULL
                 ? detail + 2
                 : error->message;
    }
  g_autofree gchar *reason
      = extracted ? g_strdup_printf ("the plug-in '%s.so.0' reads them: is "
                                     "the database writable?",
                                     libname)
                  : g_strdup_printf ("the plug-in '%s.so.0' extracts nothing "
                                     "from them",
                                     libname);
  return reason;
}

namespace
{

/* Counts names as tessel_scan_conclude says, from rows read after they
 * were handed over; the names of files it found stored by looking at them
 * now go into looked_at. */
guint
count_stored (const std::vector<std::string> &names,
              const TesselScanRows &rows, const TesselScan *scan,
              TesselScanCounts *counts,
              std::unordered_set<std::string_view> *looked_at)
{
  /* A row that matches the file as the walk saw it was stored from that
   * file: the plug-in's reading and the row's attributes came later.  Only
   * a file that changed since is looked at again. */
  std::unordered_map<std::string_view, const TesselScanStamp *> seen;
  if (scan != nullptr)
    for (gsize i = 0; i < scan->candidates.size (); i++)
      seen.emplace (scan->candidates[i], &scan->stamps[i]);
  /* The files not stored, by the plug-in configured for them ("" for
   * none), in the order met. */
  std::vector<std::pair<std::string, std::vector<const std::string *> > >
      by_plugin;
  guint not_stored = 0;
  for (const std::string &name : names)
    {
      auto walked = seen.find (name);
      gchar modified = 1, present = 0;
      if (walked != seen.end ()
          && rows.is_modified_or_new (name, &modified, &present,
                                      walked->second)
          && !modified && present)
        {
          counts->indexed++;
          continue;
        }
      if (tessel_scan_row_is_current (name, rows))
        {
          counts->indexed++;
          looked_at->insert (name);
          continue;
        }
      not_stored++;
      g_autofree gchar *libname = meta_get_libname (name.c_str ());
      std::string key = libname != NULL ? libname : "";
      auto group = std::find_if (by_plugin.begin (), by_plugin.end (),
                                 [&] (const auto &g) { return g.first == key; });
      if (group == by_plugin.end ())
        group = by_plugin.insert (by_plugin.end (), { key, {} });
      group->second.push_back (&name);
    }
  counts->skipped += not_stored;
  /* The library reports nothing per file; each plug-in is asked once. */
  for (const auto &group : by_plugin)
    {
      std::string reason = not_stored_reason (
          group.first.empty () ? NULL : group.first.c_str (),
          *group.second.front ());
      tessel_error ("%zu of %zu files could not be stored: %s",
                    group.second.size (), names.size (), reason.c_str ());
    }
  if (counts->too_long > 0)
    tessel_error ("%u files not indexed: their names are longer than the "
                  "%d bytes a row's name holds",
                  counts->too_long, TESSEL_SCAN_NAME_MAX);
  return not_stored;
}

/* Marks absent the present rows among rows whose files no longer exist;
 * the files of names in existing were just seen.  The number marked. */
guint
mark_vanished (const TesselScanRows &rows,
               const std::unordered_set<std::string_view> &existing)
{
  guint marked = 0;
  for (const std::string &name : rows.names ())
    {
      gint32 present = 0;
      if (existing.count (name) == 0
          && !g_file_test (name.c_str (), G_FILE_TEST_EXISTS)
          && meta_read_integer (name.c_str (), "Present", &present)
          && present && meta_file_absent (name.c_str ()))
        marked++;
    }
  return marked;
}

} // namespace

guint
tessel_scan_conclude (const std::vector<std::string> &names,
                      const std::vector<std::string> &roots,
                      TesselScanCounts *counts, const TesselScan *scan)
{
  TesselScanRows rows;
  rows.read (roots);
  std::unordered_set<std::string_view> looked_at;
  guint not_stored = count_stored (names, rows, scan, counts, &looked_at);
  counts->absent += mark_vanished (rows, looked_at);
  return not_stored;
}

guint
tessel_scan_mark_vanished (const std::vector<std::string> &roots)
{
  TesselScanRows rows;
  rows.read (roots);
  return mark_vanished (rows, {});
}

void
tessel_scan_print_summary (FILE *out, const TesselScanCounts &counts,
                           double seconds)
{
  fprintf (out,
           "%u seen, %u indexed, %u unchanged, %u skipped, %u marked absent, "
           "%.1fs\n",
           counts.seen, counts.indexed, counts.unchanged, counts.skipped,
           counts.absent, seconds);
  fflush (out);
}
