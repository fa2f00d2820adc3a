/* The ID3 extractor: an MPEG audio file's ID3v2 and ID3v1 tags and its
 * frame header as a metadata list.
 *
 * The tag library normalises what it reads: a version 2.3 year (TYER)
 * arrives as the recording time frame TDRC, and a genre "(17)" as the
 * field "17" (brisel_genre.cpp takes both as the same reference). */
#include "brisel_gst.h"
#include "brisel_id3-testing.h"
#include "brisel_genre-private.h"

#include <string>

#include <id3v1tag.h>
#include <id3v2frame.h>
#include <id3v2tag.h>
#include <mpegfile.h>
#include <mpegproperties.h>
#include <textidentificationframe.h>

void (*brisel_id3_testing_frame_hook) (const char *key) = nullptr;

namespace
{

/* The keys the extractor fills, in the order of this table. */
enum Key
{
  KEY_ALBUM,
  KEY_GENRE,
  KEY_TITLE,
  KEY_ARTIST,
  KEY_PUBLISHER,
  KEY_TRACK,
  KEY_YEAR,
  KEY_COUNT
};

const char *const key_names[KEY_COUNT] = {
  "Album", "Genre", "Title", "Artist", "Publisher", "Track", "Year",
};

struct FrameKey
{
  const char *frame_id;
  Key key;
};

/* TYER is listed for completeness: the tag library hands a version 2.3
 * year over as TDRC. */
const FrameKey frame_keys[] = {
  { "TALB", KEY_ALBUM },  { "TCON", KEY_GENRE },     { "TIT2", KEY_TITLE },
  { "TPE1", KEY_ARTIST }, { "TPUB", KEY_PUBLISHER }, { "TRCK", KEY_TRACK },
  { "TYER", KEY_YEAR },   { "TDRC", KEY_YEAR },
};

struct Extraction
{
  MetaItem *list = nullptr;
  bool have[KEY_COUNT] = {};
};

void
add_text (Extraction *ex, Key key, const std::string &text)
{
  if (text.empty ())
    return;
  if (brisel_id3_testing_frame_hook != nullptr)
    brisel_id3_testing_frame_hook (key_names[key]);
  ex->list = meta_list_append_text (key_names[key], text.c_str (), ex->list);
  ex->have[key] = true;
}

/* The first text field of a text frame, as UTF-8. */
std::string
frame_text (const TagLib::ID3v2::Frame *frame)
{
  auto text_frame
      = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame *> (frame);
  if (text_frame == nullptr)
    return frame->toString ().to8Bit (true);
  const TagLib::StringList fields = text_frame->fieldList ();
  if (fields.isEmpty ())
    return std::string ();
  return fields.front ().to8Bit (true);
}

void
read_id3v2 (Extraction *ex, TagLib::ID3v2::Tag *tag)
{
  for (const TagLib::ID3v2::Frame *frame : tag->frameList ())
    {
      const TagLib::ByteVector id = frame->frameID ();
      for (const FrameKey &fk : frame_keys)
        {
          if (id != TagLib::ByteVector (fk.frame_id, 4))
            continue;
          std::string text = frame_text (frame);
          if (fk.key == KEY_GENRE && !text.empty ())
            text = brisel_genre_from_text (text);
          add_text (ex, fk.key, text);
          break;
        }
    }
}

/* ID3v1 only fills what the ID3v2 frames left out. */
void
read_id3v1 (Extraction *ex, TagLib::ID3v1::Tag *tag)
{
  if (!ex->have[KEY_ALBUM])
    add_text (ex, KEY_ALBUM, tag->album ().to8Bit (true));
  if (!ex->have[KEY_GENRE])
    add_text (ex, KEY_GENRE, brisel_genre_from_number (tag->genreNumber ()));
  if (!ex->have[KEY_TITLE])
    add_text (ex, KEY_TITLE, tag->title ().to8Bit (true));
  if (!ex->have[KEY_ARTIST])
    add_text (ex, KEY_ARTIST, tag->artist ().to8Bit (true));
  if (!ex->have[KEY_TRACK] && tag->track () > 0)
    add_text (ex, KEY_TRACK,
              TagLib::String::number (static_cast<int> (tag->track ()))
                  .to8Bit ());
  if (!ex->have[KEY_YEAR] && tag->year () > 0)
    add_text (ex, KEY_YEAR,
              TagLib::String::number (static_cast<int> (tag->year ()))
                  .to8Bit ());
}

void
read_file (Extraction *ex, const char *filename)
{
  /* The tag library opens with blocking reads: a FIFO would hold the
   * caller until a writer comes, a device could be read without end. */
  if (!g_file_test (filename, G_FILE_TEST_IS_REGULAR))
    return;

  TagLib::MPEG::File file (filename, true,
                           TagLib::AudioProperties::Average);
  if (!file.isValid ())
    return;

  /* A stream without any recognisable frame has a sample rate of 0. */
  const TagLib::MPEG::Properties *props = file.audioProperties ();
  if (props != nullptr && props->sampleRate () > 0)
    {
      /* A Xing header's byte count is the file's word: an absurd one gives
       * a bitrate that bits per second cannot hold, left out. */
      if (props->bitrate () > 0 && props->bitrate () < G_MAXINT32 / 1000)
        ex->list = meta_list_append_int ("Bitrate", props->bitrate () * 1000,
                                         ex->list);
      ex->list
          = meta_list_append_int ("Length", props->lengthInSeconds (),
                                  ex->list);
    }

  if (file.hasID3v2Tag ())
    read_id3v2 (ex, file.ID3v2Tag ());
  if (file.hasID3v1Tag ())
    read_id3v1 (ex, file.ID3v1Tag ());
}

} // namespace

/* The tag library may throw (allocation failures, or its own faults on a
 * hostile file); a C caller cannot take an exception, so it stops here.
 * Unwinding has released the library's objects by then, and the items
 * already built stay in the list. */
extern "C" MetaItem *
meta_ext_id3 (const gchar *filename)
{
  if (filename == NULL)
    return NULL;

  Extraction ex;
  try
    {
      read_file (&ex, filename);
    }
  catch (...)
    {
    }

  if (!ex.have[KEY_TITLE])
    {
      g_autofree gchar *base = g_path_get_basename (filename);
      ex.list = meta_list_append_text ("Title", base, ex.list);
    }
  return ex.list;
}
