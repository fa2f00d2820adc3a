/* The indexing pass shared by `tessel index` and `tessel watch`: walking
 * folders for media files, asking the library which are new or changed,
 * handing them over in batches, and marking the rows of vanished files
 * absent.  Public library calls only. */
#ifndef TESSEL_SCAN_H
#define TESSEL_SCAN_H

#include <stdio.h>

#include <string>
#include <vector>

#include <glib.h>

#include "metadata.h"

struct TesselScanCounts
{
  guint seen = 0;
  guint indexed = 0;
  guint unchanged = 0;
  guint skipped = 0;
  guint absent = 0;
  guint unmapped = 0; /* skipped: no plug-in for the extension */
};

struct TesselScan
{
  std::vector<std::string> candidates; /* recognised files to judge */
  std::vector<std::string> folders;    /* every folder entered */
  TesselScanCounts counts;
  gboolean failed = FALSE;
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
 * path that cannot be read is reported and fails the scan. */
void tessel_scan_walk (const std::string &path, TesselScan *scan,
                       gboolean top);

/* Whether a candidate needs indexing.  A row that is current but marked
 * absent is marked present again (counted unchanged); an empty file, or
 * one that is not a regular file any more, is counted skipped. */
gboolean tessel_scan_judge (const std::string &name, TesselScan *scan);

/* Every candidate that tessel_scan_judge says needs indexing. */
std::vector<std::string> tessel_scan_judge_all (TesselScan *scan);

/* Hands names [first, first + n) to meta_add_files_with_check. */
void tessel_scan_hand_over (const std::vector<std::string> &names,
                            gsize first, gsize n, MetaProgressFunc progress);

/* TRUE when the row of name matches the file on disk and is present: the
 * file was stored. */
gboolean tessel_scan_row_is_current (const std::string &name);

/* Marks absent the present rows of files below roots (or equal to one of
 * them) that no longer exist.  The number marked. */
guint tessel_scan_mark_vanished (const std::vector<std::string> &roots);

/* "N seen, N indexed, N unchanged, N skipped, N marked absent, Ts". */
void tessel_scan_print_summary (FILE *out, const TesselScanCounts &counts,
                                double seconds);

#endif /* TESSEL_SCAN_H */
