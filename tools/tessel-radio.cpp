/* tessel radio: browsing the internet radio directory through the
 * directory store's path operation, the way a player does: the cached
 * answer at once, then the fresh one from the main loop. */
#include "tessel.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <json-glib/json-glib.h>

#include "gisds.h"
#include "metadata.h"
#include "mp_library_store_isds.h"
#include "mp_media_resource.h"

namespace
{

const char *const categories[] = { "genres", "languages", "countries",
                                   "hotpicks" };

/* One resource as printed: its set properties, copied, so that the
 * store's resources can go as soon as the callback returns. */
struct Item
{
  std::string title, uri, id, genre, description;
  bool has_title = false, has_uri = false, has_id = false, has_genre = false,
       has_description = false;
  gint count = 0;
  gint bitrate = 0;
};

/* Text from the directory (or about it) for an error line, shown as a
 * table shows it: no control character reaches the terminal. */
std::string
visible (const std::string &text)
{
  g_autofree gchar *shown = tessel_display_text (text.c_str ());
  return shown;
}

/* A stream URL that --urls may print for a pipe into a player: http or
 * https, and nothing that xargs would split, unquote or read as an option
 * (blanks, quotes, backslashes, control characters; a leading dash cannot
 * come before the scheme). */
bool
playable_url (const std::string &uri)
{
  const char *text = uri.c_str ();
  if (g_ascii_strncasecmp (text, "http://", 7) != 0
      && g_ascii_strncasecmp (text, "https://", 8) != 0)
    return false;
  if (!g_utf8_validate (text, static_cast<gssize> (uri.size ()), nullptr))
    return false;
  for (const char *p = text; *p != '\0'; p = g_utf8_next_char (p))
    {
      gunichar c = g_utf8_get_char (p);
      if (g_unichar_isspace (c) || g_unichar_iscntrl (c) || c == '\''
          || c == '"' || c == '\\')
        return false;
    }
  return true;
}

void
take (std::string &to, bool &has, const gchar *from)
{
  has = from != nullptr;
  to = from != nullptr ? from : "";
}

std::vector<Item>
items_of (GList *resources)
{
  std::vector<Item> items;
  for (GList *l = resources; l != nullptr; l = l->next)
    {
      auto r = static_cast<MpMediaResource *> (l->data);
      Item item;
      take (item.title, item.has_title, mp_media_resource_get_title (r));
      take (item.uri, item.has_uri, mp_media_resource_get_uri (r));
      take (item.id, item.has_id, mp_media_resource_get_id (r));
      take (item.genre, item.has_genre, mp_media_resource_get_genre (r));
      take (item.description, item.has_description,
            mp_media_resource_get_description (r));
      item.count = mp_media_resource_get_count (r);
      item.bitrate = mp_media_resource_get_bitrate (r);
      items.push_back (std::move (item));
    }
  return items;
}

void
free_resources (GList *resources)
{
  for (GList *l = resources; l != nullptr; l = l->next)
    mp_media_resource_destroy (static_cast<MpMediaResource *> (l->data),
                               nullptr);
  g_list_free (resources);
}

enum class Output
{
  TABLE,
  JSON,
  URLS
};

void
print_json (const std::vector<Item> &items)
{
  g_autoptr (JsonBuilder) b = json_builder_new ();
  json_builder_begin_array (b);
  for (const Item &i : items)
    {
      json_builder_begin_object (b);
      auto text = [&] (const char *key, bool has, const std::string &value) {
        if (!has)
          return;
        json_builder_set_member_name (b, key);
        json_builder_add_string_value (b, value.c_str ());
      };
      text ("title", i.has_title, i.title);
      text ("uri", i.has_uri, i.uri);
      text ("id", i.has_id, i.id);
      if (i.count > 0)
        {
          json_builder_set_member_name (b, "count");
          json_builder_add_int_value (b, i.count);
        }
      text ("genre", i.has_genre, i.genre);
      text ("description", i.has_description, i.description);
      if (i.bitrate > 0)
        {
          json_builder_set_member_name (b, "bitrate");
          json_builder_add_int_value (b, i.bitrate);
        }
      json_builder_end_object (b);
    }
  json_builder_end_array (b);
  tessel_print_json (b);
}

void
print_items (const std::vector<Item> &items, Output output)
{
  if (output == Output::JSON)
    {
      print_json (items);
      return;
    }
  if (output == Output::URLS)
    {
      guint left_out = 0;
      for (const Item &i : items)
        if (i.has_uri && playable_url (i.uri))
          printf ("%s\n", i.uri.c_str ());
        else if (i.has_uri)
          left_out++;
      if (left_out > 0)
        tessel_error ("%u stream URL%s left out: not http or https, or "
                      "holding blanks, quotes or control characters",
                      left_out, left_out == 1 ? "" : "s");
      return;
    }
  if (items.empty ())
    return;

  /* Streams and channels have an address; listing entries a count. */
  bool streams = false;
  for (const Item &i : items)
    streams = streams || i.has_uri;
  g_autoptr (GPtrArray) rows = g_ptr_array_new_with_free_func (
      reinterpret_cast<GDestroyNotify> (g_strfreev));
  for (const Item &i : items)
    {
      auto cells = g_new0 (gchar *, 6);
      cells[0] = g_strdup (i.title.c_str ());
      if (streams)
        {
          cells[1] = g_strdup (i.uri.c_str ());
          cells[2] = i.bitrate > 0 ? g_strdup_printf ("%d kbit/s", i.bitrate)
                                   : g_strdup ("");
          cells[3] = g_strdup (i.genre.c_str ());
          cells[4] = g_strdup (i.id.c_str ());
        }
      else
        cells[1] = i.count > 0 ? g_strdup_printf ("%d", i.count)
                               : g_strdup ("");
      g_ptr_array_add (rows, cells);
    }
  static const char *const stream_header[]
      = { "NAME", "URL", "BITRATE", "GENRE", "ID" };
  static const char *const entry_header[] = { "NAME", "STATIONS" };
  if (streams)
    tessel_print_table (stdout, stream_header, 5, rows);
  else
    tessel_print_table (stdout, entry_header, 2, rows);
}

/* What the wait for the fresh answer ended with. */
struct Wait
{
  GMainLoop *loop = nullptr;
  bool answered = false;
  bool completed = false;
  gint code = -1;
  std::string message;
  std::vector<Item> fresh;
  bool spinner = false;
  guint frame = 0;
};

void
on_answer (GList *resources, gboolean completed, GError *error,
           gpointer user_data) noexcept
{
  auto w = static_cast<Wait *> (user_data);
  if (w->answered)
    return;
  w->answered = true;
  w->completed = completed;
  w->code = error != nullptr ? error->code : 0;
  w->message = error != nullptr && error->message != nullptr ? error->message
                                                             : "";
  try
    {
      if (w->code == 0)
        w->fresh = items_of (resources);
    }
  catch (...)
    {
      w->code = -1;
    }
  g_main_loop_quit (w->loop);
}

gboolean
on_timeout (gpointer data) noexcept
{
  g_main_loop_quit (static_cast<GMainLoop *> (data));
  return G_SOURCE_REMOVE;
}

gboolean
on_spin (gpointer data) noexcept
{
  auto w = static_cast<Wait *> (data);
  static const char frames[] = "|/-\\";
  fprintf (stderr, "\r%c waiting for the radio directory",
           frames[w->frame++ % 4]);
  fflush (stderr);
  return G_SOURCE_CONTINUE;
}

/* Why a request brought nothing fresh, for the user: the connection, or
 * the reason the directory client gave (the detail after the library's
 * "Failed: "). */
std::string
failure_reason (const Wait &w)
{
  if (w.code == META_ERROR_NO_UPDATED_DATA || w.code == META_ERROR_CONNECTING
      || w.code == META_ERROR_NO_CONNECTION)
    return "no network connection";
  std::string detail = w.message;
  gsize colon = detail.find (": ");
  if (colon != std::string::npos)
    detail = detail.substr (colon + 2);
  if (detail.empty () || detail == "Unknown error")
    return "the radio directory did not answer";
  return "cannot reach the radio directory (" + visible (detail) + ")";
}

/* The cached listings the directory client reads for a path's category
 * (the listing itself, or a named one of its channel listings). */
struct CachedReader
{
  const char *category;
  GNode *(*listing) (IsdsBrowser *, GError **);
  GNode *(*channels) (IsdsBrowser *, const gchar *, GError **);
};

const CachedReader cached_readers[] = {
  { "genres", isds_browser_list_cached_genres,
    isds_browser_list_cached_genre_channels },
  { "languages", isds_browser_list_cached_languages,
    isds_browser_list_cached_language_channels },
  { "countries", isds_browser_list_cached_countries,
    isds_browser_list_cached_country_channels },
  { "hotpicks", isds_browser_list_cached_hotpicks, nullptr },
};

/* Why the cache gave nothing for the arguments: "" when it simply holds
 * nothing, else why the cached listing could not be read.  The store
 * keeps the cache's failure to itself while the connection comes up, so
 * the directory client is asked directly. */
std::string
cache_trouble (int argc, char **argv)
{
  const CachedReader *reader = nullptr;
  for (const CachedReader &r : cached_readers)
    if (argc > 1 && strcmp (argv[1], r.category) == 0)
      reader = &r;
  if (reader == nullptr)
    return "";
  IsdsBrowser *browser = isds_browser_new ();
  GError *error = nullptr;
  GNode *tree = argc > 2 && reader->channels != nullptr
                    ? reader->channels (browser, argv[2], &error)
                    : reader->listing (browser, &error);
  isds_browser_free_nodes_tree (tree);
  g_object_unref (browser);
  std::string trouble;
  if (error != nullptr)
    trouble = "the cache is unreadable ("
              + visible (error->message != nullptr ? error->message : "")
              + ")";
  g_clear_error (&error);
  return trouble;
}

/* What the cache gave, when it gave nothing. */
std::string
nothing_cached (int argc, char **argv)
{
  std::string trouble = cache_trouble (argc, argv);
  return trouble.empty () ? "nothing cached" : trouble;
}

} // namespace

int
tessel_cmd_radio (int argc, char **argv)
{
  gboolean cached_only = FALSE, json = FALSE, urls = FALSE;
  gint timeout = 15;
  g_autofree gchar *service = nullptr;
  const GOptionEntry entries[] = {
    { "cached", 0, 0, G_OPTION_ARG_NONE, &cached_only,
      "Print what the cache holds, without asking the directory", nullptr },
    { "json", 'j', 0, G_OPTION_ARG_NONE, &json,
      "Print a JSON array of objects", nullptr },
    { "urls", 'u', 0, G_OPTION_ARG_NONE, &urls,
      "Print only the stream URLs, one a line", nullptr },
    { "timeout", 't', 0, G_OPTION_ARG_INT, &timeout,
      "Wait at most SECONDS for the fresh answer (default 15)", "SECONDS" },
    { "service", 's', 0, G_OPTION_ARG_STRING, &service,
      "Use this server of the directory API instead of the default host",
      "URL" },
    { nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr }
  };
  TesselCommonOptions common;
  gboolean parsed = tessel_parse (
      &argc, &argv, entries, "[CATEGORY [NAME [ID]]]",
      "Browse the internet radio directory.  CATEGORY is genres, languages,\n"
      "countries or hotpicks; NAME a genre, language or country (or, under\n"
      "hotpicks, a station's ID); ID a station's ID, whose streams are\n"
      "printed.  The cached answer is printed at once when stdout is a\n"
      "terminal; then the fresh answer, waited for at most --timeout\n"
      "seconds.  Into a pipe only the last answer is printed.  Without a\n"
      "network connection a line on stderr says so and the cache answers.",
      &common);
  if (!parsed)
    return 2;
  if (json && urls)
    {
      tessel_error ("--json and --urls cannot be used together");
      return 2;
    }
  if (timeout <= 0)
    {
      tessel_error ("--timeout wants a number of seconds above 0");
      return 2;
    }
  if (argc > 4)
    {
      tessel_error ("too many arguments: radio [CATEGORY [NAME [ID]]]");
      return 2;
    }
  if (argc > 1)
    {
      bool known = false;
      for (const char *c : categories)
        known = known || strcmp (argv[1], c) == 0;
      if (!known)
        {
          tessel_error ("unknown category '%s' (genres, languages, "
                        "countries, hotpicks)",
                        visible (argv[1]).c_str ());
          return 2;
        }
    }
  /* "." and ".." would be path steps in the directory's URLs. */
  for (int i = 1; i < argc; i++)
    if (*argv[i] == '\0' || strchr (argv[i], '\n') != nullptr
        || strcmp (argv[i], ".") == 0 || strcmp (argv[i], "..") == 0)
      {
        tessel_error ("a name or ID may not be empty, '.' or '..', or hold "
                      "a newline");
        return 2;
      }
  if (service != nullptr)
    {
      g_autoptr (GUri) uri = g_uri_parse (service, G_URI_FLAGS_NONE, nullptr);
      if (uri == nullptr || g_uri_get_host (uri) == nullptr
          || (strcmp (g_uri_get_scheme (uri), "http") != 0
              && strcmp (g_uri_get_scheme (uri), "https") != 0))
        {
          tessel_error ("--service wants an http or https URL, not '%s'",
                        service);
          return 2;
        }
      /* The directory client's own setting for another server. */
      g_setenv ("GISDS_SERVICE_URL", service, TRUE);
    }
  /* The directory client gives up on a request after a timeout of its
   * own, which must not end the wait before --timeout does; a second more
   * leaves the last word to the wait. */
  g_autofree gchar *seconds = g_strdup_printf ("%" G_GINT64_FORMAT,
                                               static_cast<gint64> (timeout)
                                                   + 1);
  g_setenv ("GISDS_TIMEOUT", seconds, TRUE);

  /* The store's paths: a first piece it does not look at, then the
   * arguments, each ended by a newline. */
  GString *path = g_string_new ("tessel\n");
  for (int i = 1; i < argc; i++)
    g_string_append_printf (path, "%s\n", argv[i]);

  Output output = json ? Output::JSON : urls ? Output::URLS : Output::TABLE;
  Wait w;
  w.loop = g_main_loop_new (nullptr, FALSE);
  MpLibraryStoreIsds *store = mp_library_store_isds_get_instance ();
  GError *error = nullptr;
  GList *cached = mp_library_store_isds_get_path (store, path->str, on_answer,
                                                  &w, &error);
  g_string_free (path, TRUE);
  g_clear_error (&error);
  std::vector<Item> cached_items = items_of (cached);
  free_resources (cached);

  int status = 0;
  if (cached_only || w.answered)
    {
      /* Answered at once: nothing to wait for (or not wanted). */
      if (w.answered && !w.completed && w.code == META_ERROR_PATH_UNKNOWN)
        {
          tessel_error ("%s", w.message.c_str ());
          g_main_loop_unref (w.loop);
          return 2;
        }
      /* A station is looked up in the cached listing it belongs to. */
      bool station = argc == 4
                     || (argc == 3 && strcmp (argv[1], "hotpicks") == 0);
      std::string trouble = cached_items.empty ()
                                ? cache_trouble (argc, argv)
                                : "";
      if (cached_only && cached_items.empty () && trouble.empty ())
        tessel_error ("nothing cached for this listing (run without "
                      "--cached to fetch it)");
      else if (cached_only && cached_items.empty ())
        tessel_error ("%s; run without --cached to fetch it again",
                      trouble.c_str ());
      else if (w.answered && !(w.completed && w.code == 0)
               && cached_items.empty ())
        {
          /* Answered at once, the lookup failed: the connection being
           * brought up is what the store passes on then. */
          if (station && !w.completed
              && (w.code == META_ERROR_NO_UPDATED_DATA
                  || w.code == META_ERROR_CONNECTING))
            tessel_error ("no station '%s' in the cached listing (tessel "
                          "radio %s%s%s lists the stations)",
                          visible (argv[argc - 1]).c_str (), argv[1],
                          argc == 4 ? " " : "",
                          argc == 4 ? visible (argv[2]).c_str () : "");
          else
            tessel_error ("%s; %s", failure_reason (w).c_str (),
                          trouble.empty () ? "nothing cached"
                                           : trouble.c_str ());
        }
      const std::vector<Item> &shown
          = w.answered && w.completed && w.code == 0 && !cached_only
                ? w.fresh
                : cached_items;
      print_items (shown, output);
      g_main_loop_unref (w.loop);
      return shown.empty () ? 1 : 0;
    }

  bool early = output == Output::TABLE && isatty (STDOUT_FILENO)
               && !cached_items.empty ();
  if (early)
    {
      print_items (cached_items, output);
      fflush (stdout);
    }
  guint timer = g_timeout_add_seconds (static_cast<guint> (timeout),
                                       on_timeout, w.loop);
  guint spin = 0;
  if (isatty (STDERR_FILENO))
    spin = g_timeout_add (100, on_spin, &w);
  g_main_loop_run (w.loop);
  if (spin != 0)
    {
      g_source_remove (spin);
      fprintf (stderr, "\r\033[K");
    }
  if (w.answered)
    g_source_remove (timer); /* a timer that fired is gone already */

  const std::vector<Item> *shown = &cached_items;
  if (w.answered && w.completed && w.code == 0)
    {
      if (early)
        printf ("\n");
      print_items (w.fresh, output);
      shown = &w.fresh;
      if (w.fresh.empty ())
        tessel_error ("the radio directory lists nothing here");
    }
  else
    {
      bool up_to_date = w.answered && w.completed
                        && w.code == META_ERROR_NO_UPDATED_DATA;
      std::string cache = cached_items.empty () ? nothing_cached (argc, argv)
                                                : "showing the cache";
      if (!w.answered)
        tessel_error ("timeout: no answer from the radio directory within "
                      "%d s; %s",
                      timeout, cache.c_str ());
      else if (!up_to_date)
        tessel_error ("%s; %s", failure_reason (w).c_str (), cache.c_str ());
      else if (cached_items.empty ())
        /* "Not modified" to a request that had nothing to compare. */
        tessel_error ("the radio directory reports no change; %s",
                      cache.c_str ());
      if (!early)
        print_items (cached_items, output);
    }
  status = shown->empty () ? 1 : 0;
  g_main_loop_unref (w.loop);
  return status;
}
