/* Loading extractor plug-ins: shared by the indexer and by the call that
 * asks one plug-in directly. */
#ifndef METADATA_PLUGIN_PRIVATE_H
#define METADATA_PLUGIN_PRIVATE_H

#include <glib.h>

#include "metadata.h"

/* One open plug-in and the library name it was opened under; empty
 * between uses. */
struct G_GNUC_INTERNAL MetaPluginCache
{
  void *handle = nullptr;
  gchar *libname = nullptr;

  MetaPluginCache () = default;
  MetaPluginCache (const MetaPluginCache &) = delete;
  MetaPluginCache &operator= (const MetaPluginCache &) = delete;
  ~MetaPluginCache () { close (); }

  void close () noexcept;

  /* Makes the plug-in of name the open one, reusing the open plug-in when
   * its name matches ignoring ASCII case.  The file opened is name plus
   * ".so.0", formed in a 30-byte buffer: a name longer than 24
   * characters loses its suffix and names no file.  It is taken from the
   * private folder's plugins/ when it is there, else from the dynamic
   * loader's search.  FALSE when it cannot be loaded (error set, may be
   * NULL); then nothing is open. */
  gboolean select (const gchar *name, GError **error) noexcept;

  /* The open plug-in's function exported as symbol, or NULL. */
  MetaExtractFunc lookup (const gchar *symbol) const noexcept;
};

/* The path of name in Tessel's private folder, the folder "tessel" beside
 * the file libtessel was loaded from (a new string, g_free it), or NULL
 * when the library cannot tell its own file. */
G_GNUC_INTERNAL gchar *tessel_private_path (const gchar *name);

/* Calls extract (may be NULL: no list) for filename, never while another
 * thread of the process is inside a plug-in call. */
G_GNUC_INTERNAL MetaItem *meta_plugin_call (MetaExtractFunc extract,
                                            const gchar *filename) noexcept;

#endif /* METADATA_PLUGIN_PRIVATE_H */
