/* Loading extractor plug-ins, and asking one of them directly. */
#include "metadata_plugin-private.h"
#include "tessel-private.h"

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

/* Room for a plug-in's file name, terminator included. */
#define META_PLUGIN_NAME_SIZE 30

gchar *
tessel_private_path (const gchar *name)
{
  static gsize located;
  static gchar *folder;
  if (g_once_init_enter (&located))
    {
      /* The real file: a library reached through a symbolic link (the
       * .so.0 name, a merged /lib) keeps its folder beside the target. */
      Dl_info info;
      if (dladdr (reinterpret_cast<void *> (&tessel_private_path), &info) != 0
          && info.dli_fname != NULL)
        {
          char *self = realpath (info.dli_fname, NULL);
          if (self != NULL)
            {
              g_autofree gchar *dir = g_path_get_dirname (self);
              folder = g_build_filename (dir, "tessel", NULL);
              free (self);
            }
        }
      g_once_init_leave (&located, 1);
    }
  return folder != NULL ? g_build_filename (folder, name, NULL) : NULL;
}

/* Opens soname from the private folder's plug-ins when it is there, else
 * through the dynamic loader's search.  A name with a slash is a path and
 * goes to the loader unchanged. */
static void *
open_plugin (const char *soname)
{
  if (strchr (soname, '/') == NULL)
    {
      g_autofree gchar *file = g_build_filename ("plugins", soname, NULL);
      g_autofree gchar *path = tessel_private_path (file);
      if (path != NULL && access (path, F_OK) == 0)
        return dlopen (path, RTLD_LAZY | RTLD_LOCAL);
    }
  return dlopen (soname, RTLD_LAZY | RTLD_LOCAL);
}

void
MetaPluginCache::close () noexcept
{
  if (handle != nullptr)
    dlclose (handle);
  handle = nullptr;
  g_clear_pointer (&libname, g_free);
}

gboolean
MetaPluginCache::select (const gchar *name, GError **error) noexcept
{
  if (handle != nullptr && g_ascii_strcasecmp (libname, name) == 0)
    return TRUE;
  close ();
  char soname[META_PLUGIN_NAME_SIZE];
  g_snprintf (soname, sizeof soname, "%s.so.0", name);
  handle = open_plugin (soname);
  if (handle == nullptr)
    {
      const char *why = dlerror ();
      meta_set_error (error, META_ERROR_FAILED,
                      "cannot load plug-in '%s': %s", soname,
                      why != nullptr ? why : "unknown error");
      return FALSE;
    }
  libname = g_strdup (name);
  return TRUE;
}

MetaExtractFunc
MetaPluginCache::lookup (const gchar *symbol) const noexcept
{
  if (handle == nullptr)
    return nullptr;
  return reinterpret_cast<MetaExtractFunc> (dlsym (handle, symbol));
}

/* Plug-ins keep the state of a call in process-wide variables: one call
 * at a time in the process, whichever thread makes it. */
static GMutex plugin_call_lock;

MetaItem *
meta_plugin_call (MetaExtractFunc extract, const gchar *filename) noexcept
{
  if (extract == NULL)
    return NULL;
  g_mutex_lock (&plugin_call_lock);
  MetaItem *list = extract (filename);
  g_mutex_unlock (&plugin_call_lock);
  return list;
}

extern "C" MetaItem *
meta_extract_with_plugin (const gchar *libname, const gchar *symbol,
                          const gchar *filename, GError **error)
{
  if (libname == NULL || filename == NULL)
    return NULL;
  if (symbol == NULL)
    symbol = "get_metadata";
  MetaPluginCache plugin;
  if (!plugin.select (libname, error))
    return NULL;
  MetaExtractFunc extract = plugin.lookup (symbol);
  if (extract == NULL)
    {
      meta_set_error (error, META_ERROR_FAILED, "plug-in '%s' has no %s",
                      libname, symbol);
      return NULL;
    }
  return meta_plugin_call (extract, filename);
}
