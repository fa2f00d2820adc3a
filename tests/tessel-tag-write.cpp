#include "tessel-tag-write.h"

#include <stdlib.h>

#include <fileref.h>
#include <mpegfile.h>
#include <tag.h>
#include <tpropertymap.h>

static TagLib::String
utf8 (const gchar *text)
{
  return TagLib::String (text != NULL ? text : "", TagLib::String::UTF8);
}

extern "C" gboolean
tessel_tag_write (const gchar *path, const TesselMedia *m)
{
  try
    {
      TagLib::FileRef ref (path, false);
      if (ref.isNull () || ref.tag () == nullptr)
        return FALSE;
      TagLib::Tag *tag = ref.tag ();
      tag->setTitle (utf8 (m->title));
      tag->setArtist (utf8 (m->artist));
      tag->setAlbum (utf8 (m->album));
      tag->setGenre (utf8 (m->genre));
      tag->setTrack (MAX (m->track, 0));
      tag->setYear (m->year != NULL ? atoi (m->year) : 0);
      return ref.save ();
    }
  catch (...)
    {
      return FALSE;
    }
}

/* Saves a file whose properties were set: an MPEG file with an ID3v2 tag
 * of id3v2_version (3 or 4) and no other tag. */
static bool
save_properties (TagLib::FileRef &ref, gint id3v2_version)
{
  if (auto mpeg = dynamic_cast<TagLib::MPEG::File *> (ref.file ()))
    return mpeg->save (TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers,
                       id3v2_version == 3 ? TagLib::ID3v2::v3
                                          : TagLib::ID3v2::v4);
  return ref.save ();
}

extern "C" gboolean
tessel_tag_write_album (const gchar *path, const gchar *album_artist,
                        const gchar *disc, const gchar *compilation,
                        gint id3v2_version)
{
  try
    {
      TagLib::FileRef ref (path, false);
      if (ref.isNull ())
        return FALSE;
      TagLib::PropertyMap properties = ref.file ()->properties ();
      const struct
      {
        const char *name;
        const gchar *value;
      } fields[] = { { "ALBUMARTIST", album_artist },
                     { "DISCNUMBER", disc },
                     { "COMPILATION", compilation } };
      for (const auto &field : fields)
        if (field.value != NULL)
          properties.replace (field.name, utf8 (field.value));
      ref.file ()->setProperties (properties);
      return save_properties (ref, id3v2_version);
    }
  catch (...)
    {
      return FALSE;
    }
}

extern "C" gboolean
tessel_tag_write_values (const gchar *path, const gchar *property,
                         const gchar *const *values, gint id3v2_version)
{
  try
    {
      TagLib::FileRef ref (path, false);
      if (ref.isNull ())
        return FALSE;
      TagLib::PropertyMap properties = ref.file ()->properties ();
      TagLib::StringList list;
      for (const gchar *const *v = values; *v != NULL; v++)
        list.append (utf8 (*v));
      properties.replace (property, list);
      ref.file ()->setProperties (properties);
      return save_properties (ref, id3v2_version);
    }
  catch (...)
    {
      return FALSE;
    }
}
