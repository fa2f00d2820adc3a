/* Shared parts of the tessel command-line program.  Each subcommand lives
 * in a tools/tessel-NAME.cpp of its own and is listed in the command table
 * of tools/tessel.cpp. */
#ifndef TESSEL_TOOL_H
#define TESSEL_TOOL_H

#include <stdio.h>

#include <glib.h>

/* Options every subcommand understands. */
struct TesselCommonOptions
{
  gchar *database = nullptr;
  gchar *config = nullptr;

  TesselCommonOptions () = default;
  TesselCommonOptions (const TesselCommonOptions &) = delete;
  TesselCommonOptions &operator= (const TesselCommonOptions &) = delete;
  ~TesselCommonOptions ()
  {
    g_free (database);
    g_free (config);
  }
};

/* Parses argv with the given entries plus --database and --config, with
 * parameter_string and summary shown by --help.  On a usage mistake prints
 * one line to stderr and returns FALSE (exit with 2). */
gboolean tessel_parse (int *argc, char ***argv, const GOptionEntry *entries,
                       const char *parameter_string, const char *summary,
                       TesselCommonOptions *common);

/* Places the files given by the common options and opens the library
 * (meta_init).  On failure prints one line to stderr and returns FALSE
 * (exit with 1). */
gboolean tessel_open (const TesselCommonOptions *common);

/* Prints one line "tessel: MESSAGE" to stderr. */
void tessel_error (const char *format, ...) G_GNUC_PRINTF (1, 2);

/* A length in seconds as "h:mm:ss"; "" for a negative (unknown) one.
 * g_free the result. */
gchar *tessel_format_duration (gint64 seconds);

/* Prints a header and rows (each an array of columns texts, NULL cells
 * printed empty) with every column padded to its widest cell. */
void tessel_print_table (FILE *out, const char *const *header,
                         guint columns, GPtrArray *rows);
/* The same, with the columns whose right[c] is TRUE aligned to the right
 * (numbers); right may be NULL. */
void tessel_print_table_aligned (FILE *out, const char *const *header,
                                 guint columns, GPtrArray *rows,
                                 const gboolean *right);

/* Subcommands: argv[0] is the subcommand's name. */
int tessel_cmd_init (int argc, char **argv);
int tessel_cmd_index (int argc, char **argv);
int tessel_cmd_watch (int argc, char **argv);
int tessel_cmd_ls (int argc, char **argv);
int tessel_cmd_extract (int argc, char **argv);
int tessel_cmd_search (int argc, char **argv);

/* Browsing the library through the database store (tessel-browse.cpp). */
int tessel_cmd_songs (int argc, char **argv);
int tessel_cmd_albums (int argc, char **argv);
int tessel_cmd_artists (int argc, char **argv);
int tessel_cmd_genres (int argc, char **argv);
int tessel_cmd_videos (int argc, char **argv);
int tessel_cmd_playlists (int argc, char **argv);
int tessel_cmd_unplayed (int argc, char **argv);
int tessel_cmd_played (int argc, char **argv);
int tessel_cmd_added (int argc, char **argv);
int tessel_cmd_stats (int argc, char **argv);

/* Browsing the radio directory through the directory store
 * (tessel-radio.cpp). */
int tessel_cmd_radio (int argc, char **argv);

#endif /* TESSEL_TOOL_H */
