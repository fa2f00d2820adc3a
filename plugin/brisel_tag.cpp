/* libbrisel_tag's entry point: a media file's tags and audio properties
 * read from its headers with the tag library, which costs a few reads
 * where a pipeline decodes.  Files the tag library cannot open, and files
 * whose length it cannot find, go through the GStreamer extraction that
 * libbrisel_gst uses for every file.
 *
 * Every list node is made by libtessel's own append calls, resolved when
 * libtessel loads this plug-in, so that libtessel also releases them. */
#include "brisel_tag.h"
#include "brisel_cover-private.h"
#include "brisel_genre-private.h"
#include "brisel_gst_extract-private.h"
#include "brisel_headers-private.h"
#include "brisel_mpeg-private.h"

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include <aifffile.h>
#include <apefile.h>
#include <apeproperties.h>
#include <apetag.h>
#include <asffile.h>
#include <asfpicture.h>
#include <asftag.h>
#include <attachedpictureframe.h>
#include <fileref.h>
#include <flacfile.h>
#include <flacpicture.h>
#include <flacproperties.h>
#include <id3v1tag.h>
#include <id3v2tag.h>
#include <infotag.h>
#include <mp4coverart.h>
#include <mp4file.h>
#include <mp4tag.h>
#include <mpcfile.h>
#include <mpegfile.h>
#include <mpegproperties.h>
#include <xingheader.h>
#include <oggflacfile.h>
#include <opusfile.h>
#include <speexfile.h>
#include <textidentificationframe.h>
#include <tpropertymap.h>
#include <vorbisfile.h>
#include <wavfile.h>
#include <wavpackfile.h>
#include <wavpackproperties.h>
#include <xiphcomment.h>

namespace
{

/* What the headers told: texts empty and numbers 0 where they told
 * nothing. */
struct HeaderInfo
{
  std::string title, artist, album, genre, year, codec, album_artist,
      comment;
  gint32 track = 0;
  gint32 disc = 0;
  gint32 compilation = 0; /* 1: the tags say so */
  gint32 length = -1; /* whole seconds; -1: no length found */
  gint32 bitrate = 0; /* bits per second */
  gint32 channels = 0;
  gint32 frequency = 0;
};

/* A file's bytes as the tag library reads them: through a BriselSource,
 * which opened the file once and read-only.  Never written: the tag
 * library only reads here. */
class BriselStream : public TagLib::IOStream
{
public:
  BriselStream (const char *name, const BriselSource &source) noexcept
      : name_ (name), source_ (source)
  {
  }

  TagLib::FileName
  name () const override
  {
    return name_;
  }
  /* As the tag library's own file stream does, fewer bytes than asked
   * at the end of the file. */
  TagLib::ByteVector
  readBlock (unsigned long length) override
  {
    const guint64 there = static_cast<guint64> (position_) < source_.size ()
                              ? source_.size () - position_
                              : 0;
    const auto n = static_cast<unsigned int> (
        MIN (MIN (static_cast<guint64> (length), there), G_MAXUINT));
    const char *bytes = source_.peek (static_cast<guint64> (position_), n);
    TagLib::ByteVector block = bytes != NULL ? TagLib::ByteVector (bytes, n)
                                             : TagLib::ByteVector (n, '\0');
    if (bytes == NULL)
      block.resize (static_cast<unsigned int> (source_.read_at (
          static_cast<guint64> (position_), n, block.data ())));
    position_ += block.size ();
    return block;
  }
  void
  writeBlock (const TagLib::ByteVector &) override
  {
  }
  void
  insert (const TagLib::ByteVector &, unsigned long, unsigned long) override
  {
  }
  void
  removeBlock (unsigned long, unsigned long) override
  {
  }
  bool
  readOnly () const override
  {
    return true;
  }
  bool
  isOpen () const override
  {
    return source_.valid ();
  }
  /* A position before the start is refused, as fseek refuses it. */
  void
  seek (long offset, Position p) override
  {
    long base = p == Beginning ? 0
                : p == Current ? position_
                               : static_cast<long> (MIN (source_.size (),
                                                         G_MAXLONG));
    if ((offset < 0 && base < -offset) || (offset > 0
                                            && base > G_MAXLONG - offset))
      return;
    position_ = base + offset;
  }
  long
  tell () const override
  {
    return position_;
  }
  long
  length () override
  {
    return static_cast<long> (MIN (source_.size (), G_MAXLONG));
  }
  void
  truncate (long) override
  {
  }

private:
  const char *name_;
  const BriselSource &source_;
  long position_ = 0;
};

/* A text of the tag library as UTF-8.  ASCII, which most tags are, is
 * copied as it is: the tag library's own conversion gives the same bytes
 * at many times the cost. */
std::string
utf8_of (const TagLib::String &text)
{
  const wchar_t *units = text.toCWString ();
  std::string out (text.size (), '\0');
  for (gsize i = 0; i < out.size (); i++)
    {
      if (static_cast<guint32> (units[i]) >= 0x80)
        return text.to8Bit (true);
      out[i] = static_cast<char> (units[i]);
    }
  return out;
}

/* The first field of an ID3v2 tag's first frame id, or "". */
std::string
id3v2_first (TagLib::ID3v2::Tag *tag, const char *id)
{
  const TagLib::ID3v2::FrameListMap &map = tag->frameListMap ();
  const auto found = map.find (id);
  if (found == map.end () || found->second.isEmpty ())
    return std::string ();
  const TagLib::ID3v2::FrameList &frames = found->second;
  auto text = dynamic_cast<TagLib::ID3v2::TextIdentificationFrame *> (
      frames.front ());
  if (text == nullptr)
    return utf8_of (frames.front ()->toString ());
  if (text->fieldList ().isEmpty ())
    return std::string ();
  return utf8_of (text->fieldList ().front ());
}

/* The leading decimal number of text ("3/12" gives 3), saturating; 0 when
 * there is none. */
gint32
leading_number (const std::string &text)
{
  long long v = strtoll (text.c_str (), NULL, 10);
  return static_cast<gint32> (CLAMP (v, G_MININT32, G_MAXINT32));
}

/* The four-digit year a date text starts with ("2019-01-02" gives
 * "2019"); a shorter leading number is padded ("987" gives "0987"); ""
 * without one. */
std::string
year_of (const std::string &date)
{
  const char *s = date.c_str ();
  while (*s == ' ')
    s++;
  size_t digits = 0;
  while (digits < 4 && g_ascii_isdigit (s[digits]))
    digits++;
  if (digits == 0)
    return std::string ();
  std::string year (s, digits);
  if (strtol (year.c_str (), NULL, 10) == 0)
    return std::string ();
  return std::string (4 - digits, '0') + year;
}

/* Fills the fields of f from the first values of a map whose keys are
 * upper case, as a tag's properties and a Xiph comment's fields are.  A
 * comment is left out: only our own readers give one. */
void
map_fields (const TagLib::SimplePropertyMap &map, BriselFields *f)
{
  for (const auto &entry : map)
    {
      const std::string name = utf8_of (entry.first);
      std::string *field = brisel_vorbis_field (f, name.data (), name.size ());
      if (field != NULL && field != &f->comment && !entry.second.isEmpty ())
        *field = utf8_of (entry.second.front ());
    }
}

/* The first values of a tag.  ID3v2 frames are read field by field:
 * their properties join several values into one.  ID3 genres follow the
 * ID3 extractor's rule (numbers select from the first 148 entries of the
 * ID3v1 list, others nothing); every other tag's first genre is taken as
 * written. */
BriselFields
tag_fields (TagLib::Tag *tag)
{
  BriselFields f;
  if (auto v2 = dynamic_cast<TagLib::ID3v2::Tag *> (tag))
    {
      f.title = id3v2_first (v2, "TIT2");
      f.artist = id3v2_first (v2, "TPE1");
      f.album = id3v2_first (v2, "TALB");
      f.genre = id3v2_first (v2, "TCON");
      if (!f.genre.empty ())
        f.genre = brisel_genre_from_text (f.genre);
      f.date = id3v2_first (v2, "TDRC");
      f.track = id3v2_first (v2, "TRCK");
      f.album_artist = id3v2_first (v2, "TPE2");
      f.disc = id3v2_first (v2, "TPOS");
      f.compilation = id3v2_first (v2, "TCMP");
      return f;
    }
  /* A Xiph comment's properties are its fields, copied.  Tag::properties
   * () is not virtual in this tag library and gives only the basic keys:
   * each other kind's own gives what it holds beyond them (the tag
   * library names MP4's aART, disk and cpil, ASF's WM/AlbumArtist and
   * WM/PartOfSet, and APE's "Album Artist" and Disc by these properties
   * too). */
  if (auto xiph = dynamic_cast<TagLib::Ogg::XiphComment *> (tag))
    map_fields (xiph->fieldListMap (), &f);
  else if (auto mp4 = dynamic_cast<TagLib::MP4::Tag *> (tag))
    map_fields (mp4->properties (), &f);
  else if (auto asf = dynamic_cast<TagLib::ASF::Tag *> (tag))
    map_fields (asf->properties (), &f);
  else if (auto ape = dynamic_cast<TagLib::APE::Tag *> (tag))
    map_fields (ape->properties (), &f);
  else if (auto info = dynamic_cast<TagLib::RIFF::Info::Tag *> (tag))
    map_fields (info->properties (), &f);
  else
    map_fields (tag->properties (), &f);
  if (auto v1 = dynamic_cast<TagLib::ID3v1::Tag *> (tag))
    f.genre = brisel_genre_from_number (v1->genreNumber ());
  return f;
}

/* Fills the keys of info still empty from the fields of a tag. */
void
read_fields (const BriselFields &f, HeaderInfo *info)
{
  if (info->title.empty ())
    info->title = f.title;
  if (info->artist.empty ())
    info->artist = f.artist;
  if (info->album.empty ())
    info->album = f.album;
  if (info->genre.empty ())
    info->genre = f.genre;
  if (info->track <= 0)
    info->track = leading_number (f.track);
  if (info->year.empty ())
    info->year = year_of (f.date);
  if (info->album_artist.empty ())
    info->album_artist = f.album_artist;
  if (info->disc <= 0)
    info->disc = leading_number (f.disc);
  if (info->compilation == 0 && leading_number (f.compilation) != 0)
    info->compilation = 1;
  if (info->comment.empty ())
    info->comment = f.comment;
}

/* Whether info lacks a key that an ID3v1 tag, which holds no more than
 * title, artist, album, genre, year and track, could fill. */
bool
lacks_id3v1_key (const HeaderInfo &info)
{
  return info.title.empty () || info.artist.empty () || info.album.empty ()
         || info.genre.empty () || info.year.empty () || info.track <= 0;
}

/* Fills the keys of info still empty from a tag (NULL: none). */
void
read_tag (TagLib::Tag *tag, HeaderInfo *info)
{
  if (tag == nullptr
      || (dynamic_cast<TagLib::ID3v1::Tag *> (tag) != nullptr
          && !lacks_id3v1_key (*info))
      || tag->isEmpty ())
    return;
  read_fields (tag_fields (tag), info);
}

/* The tags of a file, the most complete kind first: later ones only fill
 * the keys the earlier ones leave empty. */
std::vector<TagLib::Tag *>
file_tags (TagLib::File *file)
{
  if (auto mpeg = dynamic_cast<TagLib::MPEG::File *> (file))
    return { mpeg->hasID3v2Tag () ? mpeg->ID3v2Tag () : nullptr,
             mpeg->hasAPETag () ? mpeg->APETag () : nullptr,
             mpeg->hasID3v1Tag () ? mpeg->ID3v1Tag () : nullptr };
  if (auto flac = dynamic_cast<TagLib::FLAC::File *> (file))
    return { flac->hasXiphComment () ? flac->xiphComment () : nullptr,
             flac->hasID3v2Tag () ? flac->ID3v2Tag () : nullptr,
             flac->hasID3v1Tag () ? flac->ID3v1Tag () : nullptr };
  if (auto wav = dynamic_cast<TagLib::RIFF::WAV::File *> (file))
    return { wav->hasID3v2Tag () ? wav->ID3v2Tag () : nullptr,
             wav->hasInfoTag () ? wav->InfoTag () : nullptr };
  if (auto ape = dynamic_cast<TagLib::APE::File *> (file))
    return { ape->hasAPETag () ? ape->APETag () : nullptr,
             ape->hasID3v1Tag () ? ape->ID3v1Tag () : nullptr };
  if (auto wv = dynamic_cast<TagLib::WavPack::File *> (file))
    return { wv->hasAPETag () ? wv->APETag () : nullptr,
             wv->hasID3v1Tag () ? wv->ID3v1Tag () : nullptr };
  if (auto mpc = dynamic_cast<TagLib::MPC::File *> (file))
    return { mpc->hasAPETag () ? mpc->APETag () : nullptr,
             mpc->hasID3v1Tag () ? mpc->ID3v1Tag () : nullptr };
  return { file->tag () };
}

/* The codec's name as the GStreamer extraction words it, or "" where the
 * headers do not tell it. */
std::string
codec_name (TagLib::File *file, TagLib::AudioProperties *props)
{
  if (auto mpeg = dynamic_cast<TagLib::MPEG::Properties *> (props))
    {
      static const char *const versions[] = { "1", "2", "2.5" };
      const int v = static_cast<int> (mpeg->version ());
      if (v < 0 || v > 2 || mpeg->layer () < 1 || mpeg->layer () > 3)
        return std::string ();
      return "MPEG-" + std::string (versions[v]) + " Layer "
             + std::to_string (mpeg->layer ()) + " (MP"
             + std::to_string (mpeg->layer ()) + ")";
    }
  if (dynamic_cast<TagLib::Ogg::Vorbis::File *> (file) != nullptr)
    return "Vorbis";
  if (dynamic_cast<TagLib::Ogg::Opus::File *> (file) != nullptr)
    return "Opus";
  if (dynamic_cast<TagLib::Ogg::Speex::File *> (file) != nullptr)
    return "Speex";
  if (dynamic_cast<TagLib::FLAC::File *> (file) != nullptr
      || dynamic_cast<TagLib::Ogg::FLAC::File *> (file) != nullptr)
    return "Free Lossless Audio Codec (FLAC)";
  if (auto mp4 = dynamic_cast<TagLib::MP4::Properties *> (props))
    switch (mp4->codec ())
      {
      case TagLib::MP4::Properties::AAC:
        return "MPEG-4 AAC audio";
      case TagLib::MP4::Properties::ALAC:
        return "Apple lossless audio";
      default:
        return std::string ();
      }
  if (auto asf = dynamic_cast<TagLib::ASF::Properties *> (props))
    return asf->codecName ().to8Bit (true);
  if (auto wav = dynamic_cast<TagLib::RIFF::WAV::Properties *> (props))
    {
      /* Format tags 1 (integer PCM) and 3 (float) say all there is. */
      if (wav->format () == 1 && wav->bitsPerSample () > 0)
        return "Uncompressed " + std::to_string (wav->bitsPerSample ())
               + "-bit PCM audio";
      if (wav->format () == 3)
        return "Uncompressed " + std::to_string (wav->bitsPerSample ())
               + "-bit IEEE float audio";
      return std::string ();
    }
  if (auto aiff = dynamic_cast<TagLib::RIFF::AIFF::Properties *> (props))
    {
      if (!aiff->isAiffC () && aiff->bitsPerSample () > 0)
        return "Uncompressed " + std::to_string (aiff->bitsPerSample ())
               + "-bit PCM audio";
      return aiff->compressionName ().to8Bit (true);
    }
  if (dynamic_cast<TagLib::APE::Properties *> (props) != nullptr)
    return "Monkey's Audio";
  if (dynamic_cast<TagLib::WavPack::Properties *> (props) != nullptr)
    return "Wavpack";
  if (dynamic_cast<TagLib::MPC::File *> (file) != nullptr)
    return "Musepack";
  return std::string ();
}

/* The first packet behind an Ogg stream's identification header: the
 * comment header of Vorbis ("\3vorbis" first), Opus ("OpusTags" first) or
 * Speex (nothing first). */
bool
read_ogg_comment (TagLib::Ogg::File *ogg, BriselFields *out)
{
  const TagLib::ByteVector packet = ogg->packet (1);
  gsize skip = 0;
  if (packet.startsWith ("\003vorbis"))
    skip = 7;
  else if (packet.startsWith ("OpusTags"))
    skip = 8;
  else if (dynamic_cast<TagLib::Ogg::Speex::File *> (ogg) == nullptr)
    return false;
  return packet.size () >= skip
         && brisel_read_vorbis_comment (
             reinterpret_cast<const guchar *> (packet.data ()) + skip,
             packet.size () - skip, out);
}

/* The fields of a file's main tag as our own readers find them: what the
 * tag library dropped (text that is not valid UTF-8, ID3v2 frames behind
 * one it gave up at), and AIFF's text chunks.  Into *headers goes what
 * the container's header tells, where a reader reads one. */
BriselFields
own_fields (TagLib::File *file, const BriselSource &source,
            BriselHeaders *headers)
{
  BriselFields fields;
  if (dynamic_cast<TagLib::MPEG::File *> (file) != nullptr)
    brisel_read_id3v2 (source, 0, &fields);
  else if (dynamic_cast<TagLib::FLAC::File *> (file) != nullptr
           || dynamic_cast<TagLib::MP4::File *> (file) != nullptr)
    {
      if (brisel_read_flac (source, headers) || brisel_read_mp4 (source,
                                                                 headers))
        fields = headers->fields;
    }
  else if (auto ogg = dynamic_cast<TagLib::Ogg::File *> (file))
    read_ogg_comment (ogg, &fields);
  else if (dynamic_cast<TagLib::RIFF::File *> (file) != nullptr)
    brisel_read_iff (source, &fields);
  return fields;
}

/* Fills info from what our own readers found in a file the tag library
 * refuses: an MP4 or FLAC file whose layout it does not accept.  FALSE
 * when they find no such file either. */
bool
read_refused (const BriselSource &source, HeaderInfo *info)
{
  BriselHeaders headers;
  if (!brisel_read_flac (source, &headers)
      && !brisel_read_mp4 (source, &headers))
    return false;
  read_fields (headers.fields, info);
  if (headers.milliseconds >= 0)
    info->length = static_cast<gint32> (MIN (headers.milliseconds / 1000,
                                              G_MAXINT32));
  info->bitrate = headers.bitrate;
  info->channels = headers.channels;
  info->frequency = headers.frequency;
  info->codec = headers.codec;
  return true;
}

/* The tags of a file that no reader knows but that starts with an ID3v2
 * tag, as ADTS AAC streams carry theirs; the stream behind the tag is
 * left to the decoder.  FALSE when the file does not start so.  May
 * throw. */
bool
read_leading_id3v2 (BriselStream *stream, const BriselSource &source,
                    HeaderInfo *info)
{
  TagLib::MPEG::File file (stream, TagLib::ID3v2::FrameFactory::instance (),
                           false);
  if (!file.isValid ())
    return false;
  file.seek (0);
  if (file.readBlock (3) != "ID3" || !file.hasID3v2Tag ())
    return false;
  std::vector<TagLib::Tag *> tags = file_tags (&file);
  BriselHeaders unused;
  for (gsize i = 0; i < tags.size (); i++)
    {
      read_tag (tags[i], info);
      if (i == 0)
        read_fields (own_fields (&file, source, &unused), info);
    }
  return true;
}

/* Reads the headers of the file of source (whose name stream tells) into
 * info; *opened keeps the file the tag library opened, for its pictures.
 * FALSE when neither the tag library nor our own readers can open the
 * file: it is no regular file we may read, no reader knows it, or its
 * header is not one.  May throw. */
bool
read_headers (const BriselSource &source, BriselStream *stream,
              HeaderInfo *info, std::unique_ptr<TagLib::FileRef> *opened)
{
  /* The source refuses what is not a regular file: a FIFO would hold the
   * tag library's blocking reads until a writer comes, a device could be
   * read without end. */
  if (!source.valid ())
    return false;
  opened->reset (new TagLib::FileRef (stream, true,
                                      TagLib::AudioProperties::Average));
  TagLib::File *file = (*opened)->file ();
  if ((*opened)->isNull () || file == nullptr)
    {
      opened->reset ();
      return read_refused (source, info)
             || read_leading_id3v2 (stream, source, info);
    }
  if (!file->isValid ())
    {
      opened->reset ();
      return read_refused (source, info);
    }

  /* Our own readers fill what the tag library left empty of the main
   * tag, before the other tags have their turn. */
  BriselHeaders headers;
  std::vector<TagLib::Tag *> tags = file_tags (file);
  for (gsize i = 0; i < tags.size (); i++)
    {
      read_tag (tags[i], info);
      if (i == 0)
        read_fields (own_fields (file, source, &headers), info);
    }

  TagLib::AudioProperties *props = file->audioProperties ();
  if (props == nullptr)
    return true;
  /* A stream in which no frame was found has neither a length nor a
   * sample rate: what it holds is for the decoder to tell.  An MP4
   * file's length is its container's, whatever its codec. */
  if (props->lengthInMilliseconds () > 0 && props->sampleRate () > 0)
    info->length = props->lengthInMilliseconds () / 1000;
  else if (headers.milliseconds >= 0)
    info->length = static_cast<gint32> (MIN (headers.milliseconds / 1000,
                                              G_MAXINT32));
  info->bitrate = props->bitrate () > 0 && props->bitrate () < G_MAXINT32 / 1000
                      ? props->bitrate () * 1000
                      : 0;
  /* Without a Xing or VBRI header the tag library's length is the
   * stream's size over the first frame's bitrate; the frame walk counts
   * instead.  Where it finds no run of frames to walk (a stream cut a few
   * frames in), the tag library's reckoning stays. */
  auto mpeg_props = dynamic_cast<TagLib::MPEG::Properties *> (props);
  BriselMpegLength walked;
  if (mpeg_props != nullptr && mpeg_props->xingHeader () == nullptr
      && info->length >= 0 && brisel_mpeg_length (stream->name (), &walked))
    {
      info->length = static_cast<gint32> (
          MIN (walked.milliseconds / 1000, G_MAXINT32));
      info->bitrate = walked.bitrate;
    }
  info->channels = MAX (props->channels (), 0);
  info->frequency = MAX (props->sampleRate (), 0);
  info->codec = codec_name (file, props);
  return true;
}

void
offer_bytes (BriselCover *cover, const TagLib::ByteVector &bytes, bool front)
{
  cover->offer (bytes.data (), bytes.size (), front);
}

/* Offers a tag's pictures to cover: ID3v2's APIC frames, the Vorbis
 * comment's METADATA_BLOCK_PICTURE, MP4's covr (which has no picture
 * types), ASF's WM/Picture and APE's "Cover Art (Front)" (a file name and
 * a NUL ahead of the bytes).  May throw. */
void
offer_tag_pictures (TagLib::Tag *tag, BriselCover *cover)
{
  if (auto v2 = dynamic_cast<TagLib::ID3v2::Tag *> (tag))
    {
      for (TagLib::ID3v2::Frame *frame : v2->frameListMap ()["APIC"])
        if (auto apic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame *> (
                frame))
          offer_bytes (cover, apic->picture (),
                       apic->type ()
                           == TagLib::ID3v2::AttachedPictureFrame::FrontCover);
    }
  else if (auto xiph = dynamic_cast<TagLib::Ogg::XiphComment *> (tag))
    {
      for (TagLib::FLAC::Picture *picture : xiph->pictureList ())
        offer_bytes (cover, picture->data (),
                     picture->type () == TagLib::FLAC::Picture::FrontCover);
    }
  else if (auto mp4 = dynamic_cast<TagLib::MP4::Tag *> (tag))
    {
      if (mp4->contains ("covr"))
        for (const TagLib::MP4::CoverArt &art :
             mp4->item ("covr").toCoverArtList ())
          offer_bytes (cover, art.data (), false);
    }
  else if (auto asf = dynamic_cast<TagLib::ASF::Tag *> (tag))
    {
      if (asf->contains ("WM/Picture"))
        for (const TagLib::ASF::Attribute &attribute :
             asf->attribute ("WM/Picture"))
          {
            const TagLib::ASF::Picture picture = attribute.toPicture ();
            if (picture.isValid ())
              offer_bytes (cover, picture.picture (),
                           picture.type ()
                               == TagLib::ASF::Picture::FrontCover);
          }
    }
  else if (auto ape = dynamic_cast<TagLib::APE::Tag *> (tag))
    {
      const TagLib::APE::ItemListMap &items = ape->itemListMap ();
      auto front = items.find ("COVER ART (FRONT)");
      if (front != items.end ())
        {
          const TagLib::ByteVector bytes = front->second.binaryData ();
          const int nul = bytes.find (TagLib::ByteVector (1, '\0'));
          if (nul >= 0)
            offer_bytes (cover, bytes.mid (static_cast<unsigned> (nul) + 1),
                         true);
        }
    }
}

/* Offers a file's embedded pictures to cover, FLAC's picture blocks
 * first, until a front cover is taken.  May throw. */
void
offer_pictures (TagLib::File *file, BriselCover *cover)
{
  if (auto flac = dynamic_cast<TagLib::FLAC::File *> (file))
    for (TagLib::FLAC::Picture *picture : flac->pictureList ())
      offer_bytes (cover, picture->data (),
                   picture->type () == TagLib::FLAC::Picture::FrontCover);
  for (TagLib::Tag *tag : file_tags (file))
    if (tag != nullptr && !cover->has_front ())
      offer_tag_pictures (tag, cover);
}

/* TRUE when list has an item of key. */
gboolean
has_key (const MetaItem *list, const char *key)
{
  for (; list != NULL; list = list->next)
    if (g_strcmp0 (list->key, key) == 0)
      return TRUE;
  return FALSE;
}

/* Moves the items of other whose keys list lacks onto list and releases
 * the rest. */
MetaItem *
take_missing (MetaItem *list, MetaItem *other)
{
  MetaItem *rest = NULL;
  while (other != NULL)
    {
      MetaItem *item = other;
      other = other->next;
      if (has_key (list, item->key))
        {
          item->next = rest;
          rest = item;
        }
      else
        {
          item->next = list;
          list = item;
        }
    }
  meta_free_list (&rest);
  return list;
}

MetaItem *
append_text (const char *key, const std::string &value, MetaItem *list)
{
  return value.empty () ? list
                        : meta_list_append_text (key, value.c_str (), list);
}

MetaItem *
append_int (const char *key, gint32 value, MetaItem *list)
{
  return value > 0 ? meta_list_append_int (key, value, list) : list;
}

/* The header's findings as list items, those without a value left out. */
MetaItem *
header_items (const HeaderInfo &info)
{
  MetaItem *list = NULL;
  list = append_text ("Codec", info.codec, list);
  list = append_text ("Artist", info.artist, list);
  list = append_text ("Title", info.title, list);
  list = append_text ("Album", info.album, list);
  list = append_text ("Genre", info.genre, list);
  list = append_int ("Track", info.track, list);
  list = append_text ("Year", info.year, list);
  list = append_text ("AlbumArtist", info.album_artist, list);
  list = append_text ("Comment", info.comment, list);
  list = append_int ("Disc", info.disc, list);
  list = append_int ("Compilation", info.compilation, list);
  list = append_int ("Channels", info.channels, list);
  list = append_int ("Frequency", info.frequency, list);
  if (info.length >= 0)
    list = meta_list_append_int ("Length", info.length, list);
  return append_int ("Bitrate", info.bitrate, list);
}

} // namespace

/* The metadata list of one media file, head first "Filename", "Title"
 * (the base name when the file has no title), "MIME", then what the
 * headers or, failing them, GStreamer tell.  The album's cover goes to
 * the shared media-art cache when the album has none there yet.  The tag library may throw
 * (allocation failures, or its own faults on a hostile file); that stops
 * here and the file is then read as one it cannot open.  NULL for a NULL
 * name, or a relative name of which nothing was found.  The caller
 * releases the list with meta_free_list ().  Not reentrant. */
extern "C" MetaItem *
get_metadata (const gchar *filename)
{
  if (filename == NULL)
    return NULL;

  /* The file is opened once, read-only: the tag library, our own
   * readers, the cover's check and the MIME sniffing share it. */
  const BriselSource source (filename);
  BriselStream stream (filename, source);
  std::unique_ptr<HeaderInfo> info;
  std::unique_ptr<TagLib::FileRef> opened;
  try
    {
      info.reset (new HeaderInfo);
      if (!read_headers (source, &stream, info.get (), &opened))
        info.reset ();
    }
  catch (...)
    {
      info.reset ();
      opened.reset ();
    }

  MetaItem *list = NULL;
  gboolean title_found;
  BriselCover cover;
  if (info == nullptr)
    title_found = brisel_gst_read_stream (filename, &list, &cover);
  else
    {
      list = header_items (*info);
      if (info->length < 0)
        {
          /* The tags stay as the headers have them; the decoder adds the
           * length, the bitrate and what else the headers lack. */
          MetaItem *decoded = NULL;
          brisel_gst_read_stream (filename, &decoded, NULL);
          list = take_missing (list, decoded);
        }
      title_found = has_key (list, "Title");
      try
        {
          if (cover.want (filename, list, &source.status ())
              && opened != nullptr)
            offer_pictures (opened->file (), &cover);
        }
      catch (...)
        {
          /* A picture the tag library failed on is no cover; an image
           * beside the song may still be one. */
        }
    }
  opened.reset ();
  cover.store ();
  guchar head[BRISEL_SNIFF_SIZE];
  const gsize head_length = source.read_at (0, brisel_sniff_size (), head);
  return brisel_add_common_keys (filename, title_found,
                                 source.valid () ? head : NULL, head_length,
                                 list);
}
