#include "tessel-tag-write.h"

#include <stdlib.h>

#include <attachedpictureframe.h>
#include <fileref.h>
#include <flacfile.h>
#include <flacpicture.h>
#include <id3v2tag.h>
#include <mp4coverart.h>
#include <mp4file.h>
#include <mp4tag.h>
#include <mpegfile.h>
#include <xiphcomment.h>
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

/* A FLAC picture block of the bytes (the tag library's list or file takes
 * it over). */
static TagLib::FLAC::Picture *
flac_picture (const TagLib::ByteVector &bytes, const gchar *mime,
              gboolean front)
{
  auto picture = new TagLib::FLAC::Picture;
  picture->setData (bytes);
  picture->setMimeType (utf8 (mime));
  picture->setType (front ? TagLib::FLAC::Picture::FrontCover
                          : TagLib::FLAC::Picture::BackCover);
  return picture;
}

extern "C" gboolean
tessel_tag_write_picture (const gchar *path, const guchar *data, gsize size,
                          const gchar *mime, gboolean front)
{
  try
    {
      const TagLib::ByteVector bytes (reinterpret_cast<const char *> (data),
                                      static_cast<unsigned> (size));
      TagLib::FileRef ref (path, false);
      if (ref.isNull ())
        return FALSE;
      TagLib::File *file = ref.file ();
      if (auto mpeg = dynamic_cast<TagLib::MPEG::File *> (file))
        {
          auto apic = new TagLib::ID3v2::AttachedPictureFrame;
          apic->setPicture (bytes);
          apic->setMimeType (utf8 (mime));
          apic->setType (front
                             ? TagLib::ID3v2::AttachedPictureFrame::FrontCover
                             : TagLib::ID3v2::AttachedPictureFrame::BackCover);
          mpeg->ID3v2Tag (true)->addFrame (apic);
          return mpeg->save (TagLib::MPEG::File::ID3v2,
                             TagLib::File::StripOthers, TagLib::ID3v2::v4);
        }
      if (auto flac = dynamic_cast<TagLib::FLAC::File *> (file))
        flac->addPicture (flac_picture (bytes, mime, front));
      else if (auto xiph = dynamic_cast<TagLib::Ogg::XiphComment *> (
                   file->tag ()))
        xiph->addPicture (flac_picture (bytes, mime, front));
      else if (auto mp4 = dynamic_cast<TagLib::MP4::Tag *> (file->tag ()))
        {
          TagLib::MP4::CoverArtList list;
          if (mp4->contains ("covr"))
            list = mp4->item ("covr").toCoverArtList ();
          list.append (TagLib::MP4::CoverArt (
              g_str_equal (mime, "image/png") ? TagLib::MP4::CoverArt::PNG
                                              : TagLib::MP4::CoverArt::JPEG,
              bytes));
          mp4->setItem ("covr", list);
        }
      else
        return FALSE;
      return ref.save ();
    }
  catch (...)
    {
      return FALSE;
    }
}
