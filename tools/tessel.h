/* Shared parts of the tessel command-line program.  Each subcommand lives
 * in a tools/tessel-NAME.cpp of its own and is listed in the command table
 * of tools/tessel.cpp. */
#ifndef TESSEL_TOOL_H
#define TESSEL_TOOL_H

#include <stdio.h>

#include <string>
#include <vector>

#include <glib.h>
#include <json-glib/json-glib.h>

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
 * parameter_string and summary shown by --help, which prints the help
 * headed "Usage: tessel COMMAND [OPTION…] parameter_string" and exits 0,
 * as GLib's own --help does.  On a usage mistake prints one line to stderr
 * and returns FALSE (exit with 2). */
gboolean tessel_parse (int *argc, char ***argv, const GOptionEntry *entries,
                       const char *parameter_string, const char *summary,
                       TesselCommonOptions *common);

/* For the reading commands that take options only: tessel_parse, with
 * "unexpected argument 'x'" for anything else given, then tessel_open.
 * Returns 0 with the database open (meta_destruct it), else the exit
 * status: 2 for a usage mistake, 1 when the database cannot be opened. */
int tessel_parse_and_open (int *argc, char ***argv,
                           const GOptionEntry *entries, const char *summary,
                           TesselCommonOptions *common);

/* Places the files given by the common options and opens the existing
 * database (meta_init).  A database file that does not exist is not
 * created: "no database at 'x' (tessel index creates one)".  On failure
 * prints one line to stderr and returns FALSE (exit with 1). */
gboolean tessel_open (const TesselCommonOptions *common);
/* The same for the commands that create the database when it is missing
 * (init, index, watch). */
gboolean tessel_open_or_create (const TesselCommonOptions *common);

/* Places the configuration the common options name and checks that it
 * can be read; FALSE after one line naming the file and the way out
 * (--config FILE, or installing).  For the commands that need plug-ins. */
gboolean tessel_check_config (const TesselCommonOptions *common);
/* The database file in use: --database, else the default one. */
const char *tessel_database_path (const TesselCommonOptions *common);
/* The configuration file in use: --config, else the installed one. */
const char *tessel_config_path (const TesselCommonOptions *common);

/* The name of the running command, put into every message. */
void tessel_set_command (const char *name);
/* Prints one line "tessel: COMMAND: MESSAGE" to stderr ("tessel: MESSAGE"
 * before a command is known). */
void tessel_error (const char *format, ...) G_GNUC_PRINTF (1, 2);

/* The absolute name under which a folder or file given by the user is
 * stored: symbolic links and "." or ".." resolved (realpath), so that a
 * folder reached through a link gives the same rows as the folder itself.
 * A path on a memory card (a "mmc1" or "mmc2" component) keeps its card
 * name when the resolved one would lose it, since rows follow a card by
 * that name.  A path that cannot be resolved (it does not exist) comes
 * back made absolute only.  g_free the result. */
gchar *tessel_canonical_path (const char *path);

/* The one sort order of names in listings: ignoring case and accents, as
 * the library's album and artist lists sort, then by bytes.  strcmp-like. */
int tessel_compare_names (const char *a, const char *b);

/* Parses a period: a number followed by s, m, h, d or w.  FALSE after one
 * line on stderr (a bare number gets a hint to add a unit); exit with 2. */
gboolean tessel_parse_period (const char *text, long *seconds);

/* Columns a text takes on a terminal: wide (East Asian) characters count
 * two, combining and other zero-width characters none; bytes for text
 * that is not UTF-8. */
gsize tessel_display_width (const char *text);

/* A text as a table shows it, on one line: a newline, tab or carriage
 * return as \n, \t or \r, any other control character as \xHH (or
 * \uHHHH beyond ASCII), and each byte that is not part of UTF-8 as \xHH;
 * the rest, a backslash included, as it is.  NULL gives "".  g_free the
 * result. */
gchar *tessel_display_text (const char *text);

/* A length in seconds as "h:mm:ss"; "" for a negative (unknown) one. */
std::string tessel_duration_text (gint64 seconds);

/* Prints a header and rows (each an array of columns texts, NULL cells
 * printed empty) with every column padded to its widest cell, measured in
 * display columns; the header is printed also when there are no rows.
 * Cells are shown as tessel_display_text gives them, so each row takes
 * one line whatever its names hold. */
void tessel_print_table (FILE *out, const char *const *header,
                         guint columns, GPtrArray *rows);
/* The same, with the columns whose right[c] is TRUE aligned to the right
 * (numbers); right may be NULL. */
void tessel_print_table_aligned (FILE *out, const char *const *header,
                                 guint columns, GPtrArray *rows,
                                 const gboolean *right);

/* Writes JSON to a stream as it goes, in the form of every --json: each
 * value of an array and each member of an object on a line of its own,
 * indented two spaces a level, "name" : value.  The output is always
 * UTF-8 and strict JSON: in a text that is not UTF-8 (a file name can be
 * any bytes) each byte that is not part of UTF-8 becomes U+FFFD, control
 * characters are escaped, and a floating-point value that is not finite
 * is written null.  json-glib's generator only writes a whole tree built
 * beforehand, which for a listing of 100,000 rows costs more time and
 * memory than reading the rows; listings write their rows through this
 * one by one, and tessel_print_json writes a built tree through it, so
 * that all share one layout and one escaping.  Calls must nest as JSON
 * does: member () only inside an object, before each of its values.
 * What is written reaches the stream at finish () at the latest. */
class TesselJsonWriter
{
public:
  explicit TesselJsonWriter (FILE *out);
  ~TesselJsonWriter ();
  TesselJsonWriter (const TesselJsonWriter &) = delete;
  TesselJsonWriter &operator= (const TesselJsonWriter &) = delete;

  void begin_array ();
  void end_array ();
  void begin_object ();
  void end_object ();
  /* The name of the member whose value comes next. */
  void member (const char *name);
  /* A text; NULL writes null. */
  void text (const char *text);
  void integer (gint64 number);
  void real (double number);
  void boolean (gboolean truth);
  void null ();
  /* Ends the output with a newline and writes it out. */
  void finish ();

private:
  void value ();
  void indent ();
  void begin (char bracket);
  void end (char bracket);
  void flush ();
  FILE *out;
  std::string pending;
  /* For each open array or object, whether it has a value yet. */
  std::vector<bool> filled;
  /* A member's name waits for its value. */
  bool named = false;
};

/* Prints the value a builder has built (a listing's array) with a
 * TesselJsonWriter on stdout, and a newline. */
void tessel_print_json (JsonBuilder *builder);

/* Subcommands: argv[0] is the subcommand's name. */
int tessel_cmd_init (int argc, char **argv);
int tessel_cmd_index (int argc, char **argv);
int tessel_cmd_watch (int argc, char **argv);
int tessel_cmd_monitor (int argc, char **argv);
int tessel_cmd_ls (int argc, char **argv);
int tessel_cmd_prune (int argc, char **argv);
int tessel_cmd_extract (int argc, char **argv);
int tessel_cmd_search (int argc, char **argv);

/* Browsing the library through the database store (tessel-browse.cpp). */
int tessel_cmd_songs (int argc, char **argv);
int tessel_cmd_albums (int argc, char **argv);
int tessel_cmd_artists (int argc, char **argv);
int tessel_cmd_genres (int argc, char **argv);
int tessel_cmd_videos (int argc, char **argv);
int tessel_cmd_playlists (int argc, char **argv);
int tessel_cmd_playlist (int argc, char **argv);
int tessel_cmd_unplayed (int argc, char **argv);
int tessel_cmd_played (int argc, char **argv);
int tessel_cmd_added (int argc, char **argv);
int tessel_cmd_stats (int argc, char **argv);
int tessel_cmd_find (int argc, char **argv);

/* Browsing the radio directory through the directory store
 * (tessel-radio.cpp). */
int tessel_cmd_radio (int argc, char **argv);

#endif /* TESSEL_TOOL_H */
