/* The ID3 genre rule.  The tag library normalises what it reads: a
 * version 2.3 genre "(17)" arrives as the field "17", so a bare number is
 * taken as the same reference to the ID3v1 genre list that a number in
 * parentheses is. */
#include <glib.h>

#include "brisel_genre-private.h"

#include <errno.h>
#include <stdlib.h>

#include <id3v1genres.h>

namespace
{

/* Reads a decimal number at the start of text (blanks and a sign allowed,
 * as a "%d" scan reads it); false when there is none.  A number too large
 * for a long reads as -1: out of range, like any negative one. */
bool
leading_number (const char *text, long *number, const char **end)
{
  errno = 0;
  char *stop = nullptr;
  long value = strtol (text, &stop, 10);
  if (stop == text)
    return false;
  *end = stop;
  *number = errno == ERANGE ? -1 : value;
  return true;
}

} // namespace

std::string
brisel_genre_from_number (long number)
{
  if (number < 0 || number > brisel_last_v1_genre)
    return std::string ();
  return TagLib::ID3v1::genre (static_cast<int> (number)).to8Bit (true);
}

std::string
brisel_genre_from_text (const std::string &text)
{
  long number = 0;
  const char *end = nullptr;
  const char *s = text.c_str ();
  bool reference = false;
  if (s[0] == '(')
    reference = leading_number (s + 1, &number, &end);
  else if (s[0] >= '0' && s[0] <= '9')
    reference = leading_number (s, &number, &end) && *end == '\0';
  if (!reference)
    return text;
  return brisel_genre_from_number (number);
}
