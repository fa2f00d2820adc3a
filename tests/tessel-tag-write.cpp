#include "tessel-tag-write.h"

#include <stdlib.h>

#include <fileref.h>
#include <tag.h>

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
