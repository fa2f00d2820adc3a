/* The indexing pass shared by `tessel index` and `tessel watch`: walking
 * folders for media files, asking the library which are new or changed,
 * handing them over in batches, and marking the rows of vanished files
 * absent.  Public library calls only. */
#ifndef TESSEL_SCAN_H
#define TESSEL_SCAN_H

#include <stdio.h>
#include <sys/types.h>
#include <time.h>

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include <glib.h>

#include "metadata.h"

/* The longest file name a row can hold, in bytes: the name reaches
 * storage in a metadata list item, whose value holds 255 bytes and a
 * terminator. */
#define TESSEL_SCAN_NAME_MAX (META_VALUE_SIZE - 1)

struct TesselScanCounts
{
  guint seen = 0;
  guint indexed = 0;
  guint unchanged = 0;
  guint skipped = 0;
  guint absent = 0;
  guint unmapped = 0; /* skipped: no plug-in for the extension */
  guint too_long = 0; /* skipped: name longer than TESSEL_SCAN_NAME_MAX */
};

/* A regular file's size and modification time as a walk saw them. */
struct TesselScanStamp
{
  off_t size;
  time_t mtime;
};

struct TesselScan
{
  std::vector<std::string> candidates; /* recognised files to judge */
  std::vector<TesselScanStamp> stamps; /* of each candidate, in order */
  std::vector<std::string> folders;    /* every folder entered */
  TesselScanCounts counts;
  gboolean failed = FALSE;
  /* Called with each folder before it is listed, when set: a watcher
   * follows the folder from there, so that nothing created while it is
   * listed falls between the listing and the following. */
  std::function<void (const std::string &folder)> entering;
};

/* The absolute, symbolic-link-free name of a path given on the command
 * line; for a path that does not exist (yet), its absolute name. */
std::string tessel_scan_root (const char *arg);

/* TRUE when name is root or lies below it. */
gboolean tessel_scan_is_below (const std::string &name,
                               const std::string &root);

/* Adds the regular files under path (itself when it is a file) to the
 * candidates and every folder to folders.  Folders reached through
 * symbolic links are not entered.  top: path was given by the user, so a
 * path that cannot be read is reported and fails the scan.  A media file
 * whose name is too long to store is named on stderr, counted skipped
 * and too_long, and fails the scan. */
void tessel_scan_walk (const std::string &path, TesselScan *scan,
                       gboolean top);

/* The rows of the files at or below some roots, read with one query per
 * root, answering for those files what meta_is_modified_or_new would: a
 * re-index of a large unchanged folder then costs one query, not one
 * lookup per file.  An empty one (nothing read) leaves every name to the
 * library's own lookup. */
class TesselScanRows
{
public:
  /* Reads the rows at or below each root.  A root whose query fails is
   * not covered: its files are looked up one by one. */
  void read (const std::vector<std::string> &roots);

  /* meta_is_modified_or_new (name, modified, present) as of the read;
   * with seen, the file is taken as seen instead of being looked at
   * again. */
  int is_modified_or_new (const std::string &name, gchar *modified,
                          gchar *present,
                          const TesselScanStamp *seen = nullptr) const;

  /* Every name read, each once, in no particular order. */
  std::vector<std::string> names () const;

private:
  /* The columns as meta_is_modified_or_new takes them: the low 32 bits of
   * an integer, 0 for a NULL or a value of another type. */
  struct Row
  {
    gint32 size = 0;
    gint32 lastmodified = 0;
    gchar present = 0;
  };

  gboolean covers (const std::string &name) const;
  static void add_row (gint columns, const gchar *const *names,
                       const gint *types, const gchar *const *values,
                       gpointer user_data) noexcept;

  std::vector<std::string> covered;
  std::unordered_map<std::string, Row> rows;
};

/* Whether a candidate needs indexing, judged from rows.  A row that is
 * current but marked absent is marked present again (counted unchanged);
 * an empty file, or one that is not a regular file any more, is counted
 * skipped. */
gboolean tessel_scan_judge (const std::string &name,
                            const TesselScanRows &rows, TesselScan *scan);

/* Every candidate that tessel_scan_judge says needs indexing, judged from
 * the rows below roots (which hold every candidate) read once. */
std::vector<std::string>
tessel_scan_judge_all (const std::vector<std::string> &roots,
                       TesselScan *scan);

/* Hands names [first, first + n) to meta_add_files_with_check. */
void tessel_scan_hand_over (const std::vector<std::string> &names,
                            gsize first, gsize n, MetaProgressFunc progress);

/* TRUE when the row of name, in rows, matches the file on disk and is
 * present: the file was stored. */
gboolean tessel_scan_row_is_current (const std::string &name,
                                     const TesselScanRows &rows);

/* The end of a pass, with the rows below roots (which hold every name)
 * read once: counts each of names, handed over for indexing, as indexed
 * when its row is current now, or matches the file as the walk of scan
 * (when given) saw it, and as skipped otherwise, and adds to the
 * absent count the rows it marks as tessel_scan_mark_vanished does.
 * Reports on stderr, one line per plug-in the configuration names for
 * them, how many could not be stored and why, asking the plug-in with one
 * of its files (meta_extract_with_plugin), and how many were not handed
 * over for names too long to store.  The number of names handed over and
 * not stored. */
guint tessel_scan_conclude (const std::vector<std::string> &names,
                            const std::vector<std::string> &roots,
                            TesselScanCounts *counts,
                            const TesselScan *scan = nullptr);

/* Marks absent the present rows of files below roots (or equal to one of
 * them) that no longer exist.  The number marked. */
guint tessel_scan_mark_vanished (const std::vector<std::string> &roots);

/* "N seen, N indexed, N unchanged, N skipped, N marked absent, Ts". */
void tessel_scan_print_summary (FILE *out, const TesselScanCounts &counts,
                                double seconds);

#endif /* TESSEL_SCAN_H */
