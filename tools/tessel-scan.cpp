#include "tessel-scan.h"

#include <errno.h>
#include <limits.h>
#include <sys/stat.h>

#include <algorithm>

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
  if (st.st_size > 0 && mapped)
    scan->candidates.push_back (path);
  else
    scan->counts.skipped++;
  if (!mapped)
    scan->counts.unmapped++;
}

gboolean
tessel_scan_judge (const std::string &name, TesselScan *scan)
{
  gchar modified = 1, present = 0;
  if (!meta_is_modified_or_new (name.c_str (), &modified, &present))
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

std::vector<std::string>
tessel_scan_judge_all (TesselScan *scan)
{
  std::vector<std::string> to_index;
  for (const std::string &name : scan->candidates)
    if (tessel_scan_judge (name, scan))
      to_index.push_back (name);
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
tessel_scan_row_is_current (const std::string &name)
{
  gchar modified = 1, present = 0;
  return meta_is_modified_or_new (name.c_str (), &modified, &present)
         && !modified && present;
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

static void
collect_name (const gchar *filename, gchar **keys, gchar **values,
              gpointer user_data, gint search_id) noexcept
{
  (void) keys, (void) values, (void) search_id;
  if (filename != NULL)
    static_cast<std::vector<std::string> *> (user_data)->emplace_back (
        filename);
}

/* Only the rows below the roots are read: a range of the name index ("/"
 * is followed by "0" in byte order), so that the cost follows the folders
 * looked at, not the size of the library. */
guint
tessel_scan_mark_vanished (const std::vector<std::string> &roots)
{
  guint marked = 0;
  for (const std::string &root : roots)
    {
      std::string below = root == "/" ? "/" : root + "/";
      std::string after = below.substr (0, below.size () - 1) + "0";
      std::string query = "SELECT Filename FROM Metadata WHERE Filename = "
                          + sql_literal (root) + " OR (Filename >= "
                          + sql_literal (below) + " AND Filename < "
                          + sql_literal (after) + ")";
      std::vector<std::string> names;
      meta_search_sync (query.c_str (), collect_name, &names);
      for (const std::string &name : names)
        {
          gint32 present = 0;
          if (!g_file_test (name.c_str (), G_FILE_TEST_EXISTS)
              && meta_read_integer (name.c_str (), "Present", &present)
              && present && meta_file_absent (name.c_str ()))
            marked++;
        }
    }
  return marked;
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
