/* The exported data objects and the choice of the objects the library
 * works with (see metadata_data-private.h). */
#include "metadata.h"
#include "metadata_conf.h"
#include "tessel-private.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <string.h>

extern "C" {
G_GNUC_INTERNAL MetaConfig tessel_own_config;
G_GNUC_INTERNAL pthread_mutex_t tessel_own_search_lock
    = PTHREAD_MUTEX_INITIALIZER;
G_GNUC_INTERNAL MetaSearchSlot tessel_own_search_ids[META_SEARCH_SLOTS];

/* The exported names are aliases: where nothing else takes the names, the
 * exported objects and the library's own are the same. */
TESSEL_API extern MetaConfig config __attribute__ ((alias ("tessel_own_config")));
TESSEL_API extern pthread_mutex_t search_lock
    __attribute__ ((alias ("tessel_own_search_lock")));
TESSEL_API extern MetaSearchSlot search_ids[META_SEARCH_SLOTS]
    __attribute__ ((alias ("tessel_own_search_ids")));

G_GNUC_INTERNAL MetaConfig *tessel_config = &tessel_own_config;
G_GNUC_INTERNAL pthread_mutex_t *tessel_search_lock = &tessel_own_search_lock;
G_GNUC_INTERNAL MetaSearchSlot *tessel_search_ids = tessel_own_search_ids;
}

#if defined(__x86_64__)
#define COPY_RELOCATION R_X86_64_COPY
#elif defined(__i386__)
#define COPY_RELOCATION R_386_COPY
#elif defined(__aarch64__)
#define COPY_RELOCATION R_AARCH64_COPY
#elif defined(__arm__)
#define COPY_RELOCATION R_ARM_COPY
#elif defined(__powerpc64__)
#define COPY_RELOCATION R_PPC64_COPY
#elif defined(__s390x__)
#define COPY_RELOCATION R_390_COPY
#elif defined(__riscv)
#define COPY_RELOCATION R_RISCV_COPY
#endif

#ifdef COPY_RELOCATION
#if __ELF_NATIVE_CLASS == 64
#define RELOCATION_TYPE ELF64_R_TYPE
#define RELOCATION_SYMBOL ELF64_R_SYM
#else
#define RELOCATION_TYPE ELF32_R_TYPE
#define RELOCATION_SYMBOL ELF32_R_SYM
#endif

namespace
{
/* The dynamic section of one loaded object, as far as copies concern. */
struct Relocations
{
  ElfW (Addr) base = 0;
  const ElfW (Sym) *symbols = nullptr;
  const char *names = nullptr;
  const ElfW (Rela) *rela = nullptr;
  size_t rela_size = 0;
  const ElfW (Rel) *rel = nullptr;
  size_t rel_size = 0;

  /* The dynamic loader rewrites these addresses in place on most machines;
   * where it leaves them, they are offsets from the load address. */
  template <typename T>
  const T *
  at (ElfW (Addr) value) const
  {
    return reinterpret_cast<const T *> (value < base ? value + base : value);
  }

  template <typename R>
  bool
  copies (const R *table, size_t size, const char *name,
          const void *address) const
  {
    for (size_t i = 0; table != nullptr && i < size / sizeof (R); i++)
      if (RELOCATION_TYPE (table[i].r_info) == COPY_RELOCATION
          && reinterpret_cast<const void *> (base + table[i].r_offset)
                 == address
          && strcmp (names
                         + symbols[RELOCATION_SYMBOL (table[i].r_info)].st_name,
                     name)
                 == 0)
        return true;
    return false;
  }
};
} // namespace

/* TRUE when the object holding address made it as a copy of the exported
 * object name, not as a definition of its own. */
static gboolean
copied_from_library (const void *address, const char *name)
{
  Dl_info info;
  struct link_map *map = NULL;
  if (!dladdr1 (address, &info, reinterpret_cast<void **> (&map),
                RTLD_DL_LINKMAP)
      || map == NULL || map->l_ld == NULL)
    return FALSE;
  Relocations r;
  r.base = map->l_addr;
  for (const ElfW (Dyn) *d = map->l_ld; d->d_tag != DT_NULL; d++)
    switch (d->d_tag)
      {
      case DT_SYMTAB:
        r.symbols = r.at<ElfW (Sym)> (d->d_un.d_ptr);
        break;
      case DT_STRTAB:
        r.names = r.at<char> (d->d_un.d_ptr);
        break;
      case DT_RELA:
        r.rela = r.at<ElfW (Rela)> (d->d_un.d_ptr);
        break;
      case DT_RELASZ:
        r.rela_size = d->d_un.d_val;
        break;
      case DT_REL:
        r.rel = r.at<ElfW (Rel)> (d->d_un.d_ptr);
        break;
      case DT_RELSZ:
        r.rel_size = d->d_un.d_val;
        break;
      default:
        break;
      }
  if (r.symbols == nullptr || r.names == nullptr)
    return FALSE;
  return r.copies (r.rela, r.rela_size, name, address)
         || r.copies (r.rel, r.rel_size, name, address);
}
#else
/* Without a known copy relocation nothing is taken for a copy: the
 * library keeps to its own objects. */
static gboolean
copied_from_library (const void *address, const char *name)
{
  (void) address;
  (void) name;
  return FALSE;
}
#endif

/* The object the library works with for the exported name: its own,
 * unless the name leads to the program's copy of it. */
template <typename T>
static T *
shared_object (T *own, const char *name)
{
  void *found = dlsym (RTLD_DEFAULT, name);
  if (found == NULL || found == own || !copied_from_library (found, name))
    return own;
  return static_cast<T *> (found);
}

/* Runs after every copy relocation of the process was made, before any
 * code of the program. */
__attribute__ ((constructor)) static void
choose_shared_objects (void)
{
  tessel_config = shared_object (&tessel_own_config, "config");
  tessel_search_lock = shared_object (&tessel_own_search_lock, "search_lock");
  tessel_search_ids = shared_object (tessel_own_search_ids, "search_ids");
}
