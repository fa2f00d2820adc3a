/* The genre rule both plug-ins apply to ID3 tags. */
#ifndef BRISEL_GENRE_PRIVATE_H
#define BRISEL_GENRE_PRIVATE_H

#include <string>

/* Entries 0 to 147 of the ID3v1 genre list are the ones a reference may
 * select; later additions to the list are not recognised. */
constexpr long brisel_last_v1_genre = 147;

/* The genre an ID3v2 genre text stands for, as UTF-8: a number in
 * parentheses at the start of the text, or the whole text being a number,
 * selects that entry of the ID3v1 list, and a number outside 0 to 147
 * selects nothing (empty result); any other text is the genre as
 * written. */
G_GNUC_INTERNAL std::string brisel_genre_from_text (const std::string &text);

/* The ID3v1 genre of number as UTF-8, or "" outside 0 to 147. */
G_GNUC_INTERNAL std::string brisel_genre_from_number (long number);

#endif /* BRISEL_GENRE_PRIVATE_H */
