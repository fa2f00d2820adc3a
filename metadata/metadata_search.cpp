/* Searches for applications: synchronous on the caller's thread, or
 * asynchronous, with the query running in a child process at a chosen
 * priority and a detached reader thread turning its result lines back into
 * callbacks. */
#include "metadata.h"
#include "metadata_data-private.h"
#include "metadata_search-private.h"
#include "metadata_storage.h"
#include "metadata_plugin-private.h"
#include "metadata_storage_search-private.h"
#include "metadata_storage_stream-private.h"
#include "tessel-private.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
/* The C library's header lacks the C++ guards. */
extern "C" {
#include <sys/pidfd.h>
}
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cxxabi.h>

/* Not in the C library's idtype_t yet: waits for the process a pidfd
 * refers to. */
#define SEARCH_P_PIDFD ((idtype_t) 3)

#define SLOT_FREE (-1)
#define SLOT_TAKEN (-2)
#define MAX_PAIRS 64

/* What the reader thread of one asynchronous search works with.  Made by
 * the starter, freed by the reader when it has finished. */
struct SearchRun
{
  int fd;        /* read end of the result pipe */
  int reason_fd; /* read end of the helper's standard error */
  int wake_fd; /* written by a canceller to wake the reader */
  MetaSearchFunc callback;
  gpointer user_data;
  GDestroyNotify notify; /* called with user_data once no callback follows */
  pid_t pid;
  int pidfd; /* the search process, or -1 on kernels without pidfds */
  int id;
  guint64 serial;
  pid_t owner; /* the process that started the search */
  bool cancelled; /* under search_lock */
};

/* Under search_lock: the running search, and the serial numbers that let
 * a canceller wait for exactly its own search to finish. */
static SearchRun *current_run;
static guint64 last_serial;
static guint64 finished_serial;
static pthread_cond_t search_finished = PTHREAD_COND_INITIALIZER;
/* Under search_lock: the process that took each slot. */
static pid_t slot_owner[META_SEARCH_SLOTS];

/* A search belongs to the process that started it.  A child made by fork
 * inherits a copy of the parent's memory, the running search included,
 * but neither the reader thread nor the search process, and search_lock
 * maybe held by a thread that does not exist there.  The child forgets
 * the parent's search: its slot is free there, its descriptors closed, and
 * a cancel in the child can never signal the parent's search process.  A
 * child made without the fork handlers is caught by the owner checks. */
static void
lock_before_fork (void)
{
  pthread_mutex_lock (&search_lock);
}

static void
unlock_after_fork (void)
{
  pthread_mutex_unlock (&search_lock);
}

static void
forget_parent_search (void)
{
  pthread_mutex_init (&search_lock, NULL);
  pthread_cond_init (&search_finished, NULL);
  if (current_run != NULL)
    {
      /* The parent frees the run; the child's copy only leaks. */
      close (current_run->fd);
      close (current_run->reason_fd);
      close (current_run->wake_fd);
      if (current_run->pidfd >= 0)
        close (current_run->pidfd);
      current_run = NULL;
    }
  for (int i = 0; i < META_SEARCH_SLOTS; i++)
    if (search_ids[i].state == SLOT_TAKEN)
      search_ids[i].state = SLOT_FREE;
}

static void
install_fork_handlers (void)
{
  pthread_atfork (lock_before_fork, unlock_after_fork, forget_parent_search);
}

/* TRUE in a child made by fork that runs a copy of the thread that
 * started or reads run: the search is its parent's, not its own. */
static gboolean
run_inherited (const SearchRun *run)
{
  return run->owner != getpid ();
}

void
meta_search_reset_slots (void)
{
  pthread_mutex_lock (&search_lock);
  for (int i = 0; i < META_SEARCH_SLOTS; i++)
    if (search_ids[i].state != SLOT_TAKEN || slot_owner[i] != getpid ())
      search_ids[i].state = SLOT_FREE;
  pthread_mutex_unlock (&search_lock);
}

extern "C" int
meta_search_sync (const gchar *query, MetaSearchFunc callback,
                  gpointer user_data)
{
  if (query == NULL || callback == NULL)
    return 0;
  return storage_search_sync (query, callback, user_data);
}

static gboolean
run_cancelled (SearchRun *run)
{
  pthread_mutex_lock (&search_lock);
  gboolean cancelled = run->cancelled;
  pthread_mutex_unlock (&search_lock);
  return cancelled;
}

/* The pairs of one result line.  Released when the callback returns, or
 * when the thread is unwound inside it. */
struct LinePairs
{
  gchar *keys[MAX_PAIRS + 1] = { NULL };
  gchar *values[MAX_PAIRS + 1] = { NULL };
  ~LinePairs ()
  {
    for (int i = 0; i < MAX_PAIRS; i++)
      {
        g_free (keys[i]);
        g_free (values[i]);
      }
  }
};

/* Turns one result line (without its newline) into a callback: tokens
 * alternate key and value, at most 64 pairs; "Filename" names the row. */
static void
deliver_line (SearchRun *run, char *line)
{
  LinePairs pairs;
  const gchar *filename = NULL;
  int count = 0;
  char *save = NULL;

  for (char *key = strtok_r (line, "\t", &save);
       key != NULL && count < MAX_PAIRS;
       key = strtok_r (NULL, "\t", &save))
    {
      char *value = strtok_r (NULL, "\t", &save);
      storage_search_unescape (key);
      pairs.keys[count] = g_strdup (key);
      if (value != NULL)
        {
          storage_search_unescape (value);
          pairs.values[count] = g_strdup (value);
        }
      if (filename == NULL && strcmp (key, "Filename") == 0)
        filename = pairs.values[count];
      count++;
      if (value == NULL)
        break;
    }
  if (count > 0)
    run->callback (filename, pairs.keys, pairs.values, run->user_data,
                   run->id);
}

/* Reads result lines of any length until end of file, a read error or a
 * cancellation, delivering each complete line.  A last line cut short by a
 * dying child is not delivered: it would be a row with values missing. */
static void
read_results (SearchRun *run)
{
  g_autoptr (GString) pending = g_string_new (NULL);
  char chunk[4096];
  for (;;)
    {
      struct pollfd fds[2] = { { run->fd, POLLIN, 0 },
                               { run->wake_fd, POLLIN, 0 } };
      if (poll (fds, 2, -1) < 0)
        {
          if (errno == EINTR)
            continue;
          return;
        }
      if (fds[1].revents != 0)
        return;
      ssize_t n = read (run->fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        return;
      /* Only the new bytes can hold the end of the pending line, so a long
       * line is not scanned again for every chunk. */
      gsize scan = pending->len;
      g_string_append_len (pending, chunk, n);

      gsize start = 0;
      char *newline;
      while ((newline = static_cast<char *> (
                  memchr (pending->str + scan, '\n', pending->len - scan)))
             != NULL)
        {
          *newline = '\0';
          if (run_cancelled (run))
            return;
          deliver_line (run, pending->str + start);
          /* A callback that forked returns here in the child too. */
          if (run_inherited (run))
            return;
          start = scan = newline - pending->str + 1;
        }
      g_string_erase (pending, 0, start);
    }
}

/* Waits until the search process has ended, without reaping it.  With a
 * pidfd the process is waited for by that descriptor: a canceller signals
 * through it too, so neither can reach another process, even when an
 * application that ignores SIGCHLD has let the kernel reap ours already.
 * Without one, until it is reaped its pid cannot be given to another
 * process, so a canceller holding search_lock may still signal it. */
static void
await_exit (SearchRun *run, siginfo_t *info)
{
  memset (info, 0, sizeof *info);
  if (run->pidfd >= 0)
    while (waitid (SEARCH_P_PIDFD, run->pidfd, info, WEXITED | WNOWAIT) != 0
           && errno == EINTR)
      ;
  else
    while (waitid (P_PID, run->pid, info, WEXITED | WNOWAIT) != 0
           && errno == EINTR)
      ;
}

/* Releases the user data (when release_user_data), reaps the search
 * process and frees the slot, then the run.  A canceller waiting for the
 * search to finish returns after this. */
static void
finish_search (SearchRun *run, bool release_user_data)
{
  if (release_user_data && run->notify != NULL)
    run->notify (run->user_data);
  siginfo_t info;
  await_exit (run, &info);
  pthread_mutex_lock (&search_lock);
  if (run->pidfd >= 0)
    while (waitid (SEARCH_P_PIDFD, run->pidfd, &info, WEXITED) != 0
           && errno == EINTR)
      ;
  else
    while (waitpid (run->pid, NULL, 0) < 0 && errno == EINTR)
      ;
  search_ids[run->id].state = SLOT_FREE;
  current_run = NULL;
  finished_serial = run->serial;
  pthread_cond_broadcast (&search_finished);
  pthread_mutex_unlock (&search_lock);

  if (run->fd >= 0)
    close (run->fd);
  if (run->pidfd >= 0)
    close (run->pidfd);
  close (run->reason_fd);
  close (run->wake_fd);
  g_free (run);
}

static void
kill_search_process (pid_t pid, int pidfd)
{
  if (pidfd >= 0)
    pidfd_send_signal (pidfd, SIGKILL, NULL, 0);
  else
    kill (pid, SIGKILL);
}

/* Ends a search whose reader thread is being ended from inside a
 * callback: the search process is stopped and reaped and the slot freed,
 * without any further call of the application's code, which is what is
 * ending the thread. */
static void
abandon_search (SearchRun *run) noexcept
{
  pthread_mutex_lock (&search_lock);
  run->cancelled = true;
  kill_search_process (run->pid, run->pidfd);
  pthread_mutex_unlock (&search_lock);
  finish_search (run, false);
}

/* How the search whose end call runs on this thread went, for
 * meta_search_end_status. */
struct EndOutcome
{
  bool active;
  bool failed;
  const gchar *reason;
};
static thread_local EndOutcome end_outcome;

/* Why the ended search process failed, or NULL when it completed: the
 * line it wrote on its standard error, or how it ended.  The process has
 * exited, so whatever it wrote is in the pipe. */
static gchar *
search_failure (SearchRun *run)
{
  siginfo_t info;
  await_exit (run, &info);
  g_autoptr (GString) reason = g_string_new (NULL);
  char chunk[512];
  ssize_t n;
  while (reason->len < 4096
         && ((n = read (run->reason_fd, chunk, sizeof chunk)) > 0
             || (n < 0 && errno == EINTR)))
    if (n > 0)
      g_string_append_len (reason, chunk, n);
  while (reason->len > 0 && g_ascii_isspace (reason->str[reason->len - 1]))
    g_string_truncate (reason, reason->len - 1);
  if (reason->len > 0)
    return g_string_free (g_steal_pointer (&reason), FALSE);
  /* Nothing said: a status tells, unless the kernel reaped the process
   * already (SIGCHLD ignored) and none is left. */
  if (info.si_pid == 0 || (info.si_code == CLD_EXITED && info.si_status == 0))
    return NULL;
  return g_strdup ("the search process ended abnormally");
}

/* Reads and delivers the results, then makes the end call unless the
 * search was cancelled. */
static void
read_search (SearchRun *run)
{
  read_results (run);
  if (run_inherited (run))
    return;
  close (run->fd);
  run->fd = -1;
  if (!run_cancelled (run))
    {
      g_autofree gchar *reason = search_failure (run);
      end_outcome = EndOutcome{ true, reason != NULL, reason };
      run->callback (NULL, NULL, NULL, run->user_data, run->id);
      end_outcome = EndOutcome{ false, false, NULL };
    }
}

/* The reader thread.  Thread cancellation stays disabled throughout: a
 * cancelled search is stopped through run->cancelled and the wake
 * descriptor instead, so a callback is never interrupted half-way (with
 * the application's locks held) and cleanup always runs to the end.
 *
 * A callback may still end the thread itself: an interpreter shutting
 * down ends every thread that calls into it afterwards with pthread_exit,
 * which unwinds this stack.  So nothing on it may be noexcept: the
 * unwinding passes, the search is abandoned on the way and the thread
 * ends as the caller wanted.  No exception of a callback goes further than
 * this function. */
static void *
search_reader (void *data)
{
  pthread_setcancelstate (PTHREAD_CANCEL_DISABLE, NULL);
  SearchRun *run = static_cast<SearchRun *> (data);
  try
    {
      read_search (run);
    }
  catch (abi::__forced_unwind &)
    {
      if (!run_inherited (run))
        abandon_search (run);
      throw;
    }
  catch (...)
    {
      if (!run_inherited (run))
        abandon_search (run);
      return NULL;
    }
  /* In a child made by fork from a callback, the search is the parent's. */
  if (!run_inherited (run))
    finish_search (run, true);
  return NULL;
}

/* Sends the whole query to the helper and ends its input.  A helper that
 * died meanwhile makes the send fail, never a SIGPIPE in the application;
 * the search then ends like a failed query. */
static void
send_query (int fd, const gchar *query)
{
  gsize left = strlen (query);
  while (left > 0)
    {
      ssize_t n = send (fd, query, left, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0)
        break;
      query += n;
      left -= n;
    }
  shutdown (fd, SHUT_WR);
}

/* Starts the search helper with the query on its input and its output on
 * out_fd and its complaint on err_fd.  posix_spawn runs nothing of this process between its clone and
 * the exec, so no lock that another thread holds can be inherited.  The
 * helper starts with default signal actions, no blocked signal and no
 * descriptor of the application but its input and output.  The pid, or
 * -1; *pidfd gets a process descriptor, or -1. */
static pid_t
spawn_helper (int out_fd, int err_fd, int priority, const gchar *query,
              int *pidfd)
{
  *pidfd = -1;
  /* The helper in the private folder beside the library: installed, or
   * the build tree's copy of that layout. */
  g_autofree gchar *helper = tessel_private_path ("tessel-search-helper");
  if (helper == NULL)
    return -1;
  int query_fds[2];
  if (socketpair (AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, query_fds) != 0)
    return -1;
  const char *file = storage_search_database ();
  g_autofree gchar *database = g_strdup (file != NULL ? file : "");
  char nice_text[16];
  g_snprintf (nice_text, sizeof nice_text, "%d", priority);
  char *argv[] = { helper, database, nice_text, NULL };

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  sigset_t none, all;
  sigemptyset (&none);
  sigfillset (&all);
  pid_t pid = -1;
  if (posix_spawn_file_actions_init (&actions) == 0)
    {
      if (posix_spawnattr_init (&attr) == 0)
        {
          if (posix_spawn_file_actions_adddup2 (&actions, query_fds[1],
                                                STDIN_FILENO)
                  == 0
              && posix_spawn_file_actions_adddup2 (&actions, out_fd,
                                                   STDOUT_FILENO)
                     == 0
              && posix_spawn_file_actions_adddup2 (&actions, err_fd,
                                                   STDERR_FILENO)
                     == 0
              && posix_spawn_file_actions_addclosefrom_np (&actions, 3) == 0
              && posix_spawnattr_setsigmask (&attr, &none) == 0
              && posix_spawnattr_setsigdefault (&attr, &all) == 0
              && posix_spawnattr_setflags (&attr, POSIX_SPAWN_SETSIGMASK
                                                      | POSIX_SPAWN_SETSIGDEF)
                     == 0
              && posix_spawn (&pid, helper, &actions, &attr, argv, environ)
                     != 0)
            pid = -1;
          posix_spawnattr_destroy (&attr);
        }
      posix_spawn_file_actions_destroy (&actions);
    }
  close (query_fds[1]);
  if (pid > 0)
    {
      /* The helper waits for the end of its input, so it is still alive
       * here and the descriptor names it. */
      *pidfd = pidfd_open (pid, 0);
      if (*pidfd >= 0)
        fcntl (*pidfd, F_SETFD, FD_CLOEXEC);
      send_query (query_fds[0], query);
    }
  close (query_fds[0]);
  return pid;
}

/* A free slot, taken for this process, or -1.  A slot some other process
 * took is free here: the copy of a parent's running search. */
static int
reserve_slot (void)
{
  int id = -1;
  pid_t self = getpid ();
  pthread_mutex_lock (&search_lock);
  if (current_run != NULL && run_inherited (current_run))
    current_run = NULL;
  for (int i = 0; i < META_SEARCH_SLOTS; i++)
    if (search_ids[i].state == SLOT_FREE
        || (search_ids[i].state == SLOT_TAKEN && slot_owner[i] != self))
      {
        search_ids[i].state = SLOT_TAKEN;
        slot_owner[i] = self;
        id = i;
        break;
      }
  pthread_mutex_unlock (&search_lock);
  return id;
}

static void
release_slot (int id)
{
  pthread_mutex_lock (&search_lock);
  search_ids[id].state = SLOT_FREE;
  pthread_mutex_unlock (&search_lock);
}

extern "C" int
meta_search_async (gint priority, const gchar *query, MetaSearchFunc callback,
                   gpointer user_data)
{
  return meta_search_async_full (priority, query, callback, user_data, NULL);
}

/* Starts the search; on failure returns -1 with the slot released, the
 * user data not yet handed to notify. */
static int
start_search (gint priority, const gchar *query, MetaSearchFunc callback,
              gpointer user_data, GDestroyNotify notify)
{
  static pthread_once_t fork_handlers = PTHREAD_ONCE_INIT;
  pthread_once (&fork_handlers, install_fork_handlers);
  /* Without an open database file the search process would open an
   * empty temporary database and report a complete, empty result. */
  if (storage_search_database () == NULL)
    return -1;
  int id = reserve_slot ();
  if (id < 0)
    return -1;

  int pipe_fds[2];
  if (pipe2 (pipe_fds, O_CLOEXEC) != 0)
    {
      release_slot (id);
      return -1;
    }
  /* The complaint is read once the helper has exited: without waiting
   * for anybody else who might hold the write end. */
  int reason_fds[2];
  if (pipe2 (reason_fds, O_CLOEXEC) != 0)
    {
      close (pipe_fds[0]);
      close (pipe_fds[1]);
      release_slot (id);
      return -1;
    }
  fcntl (reason_fds[0], F_SETFL, O_NONBLOCK);
  int wake_fd = eventfd (0, EFD_CLOEXEC);
  if (wake_fd < 0)
    {
      close (pipe_fds[0]);
      close (pipe_fds[1]);
      close (reason_fds[0]);
      close (reason_fds[1]);
      release_slot (id);
      return -1;
    }

  int pidfd = -1;
  pid_t pid = spawn_helper (pipe_fds[1], reason_fds[1], priority, query,
                            &pidfd);
  close (pipe_fds[1]);
  close (reason_fds[1]);

  SearchRun *run = NULL;
  pthread_attr_t attr;
  bool attr_ready = false;
  if (pid > 0)
    attr_ready = pthread_attr_init (&attr) == 0;
  if (attr_ready
      && pthread_attr_setdetachstate (&attr, PTHREAD_CREATE_DETACHED) == 0)
    run = g_try_new0 (SearchRun, 1);
  if (run != NULL)
    {
      run->fd = pipe_fds[0];
      run->reason_fd = reason_fds[0];
      run->wake_fd = wake_fd;
      run->callback = callback;
      run->user_data = user_data;
      run->notify = notify;
      run->pid = pid;
      run->pidfd = pidfd;
      run->id = id;
      run->owner = getpid ();

      /* The slot is filled in before the reader can finish and free it:
       * the reader needs search_lock for that. */
      pthread_mutex_lock (&search_lock);
      run->serial = ++last_serial;
      pthread_t thread;
      if (pthread_create (&thread, &attr, search_reader, run) == 0)
        {
          current_run = run;
          search_ids[id].thread = thread;
          search_ids[id].pid = pid;
          pthread_mutex_unlock (&search_lock);
          pthread_attr_destroy (&attr);
          return id;
        }
      pthread_mutex_unlock (&search_lock);
      g_free (run);
    }

  /* Nothing will read the results: stop the child and reap it. */
  if (attr_ready)
    pthread_attr_destroy (&attr);
  if (pid > 0)
    {
      siginfo_t info;
      kill_search_process (pid, pidfd);
      if (pidfd >= 0)
        {
          while (waitid (SEARCH_P_PIDFD, pidfd, &info, WEXITED) != 0
                 && errno == EINTR)
            ;
          close (pidfd);
        }
      else
        while (waitpid (pid, NULL, 0) < 0 && errno == EINTR)
          ;
    }
  close (pipe_fds[0]);
  close (reason_fds[0]);
  close (wake_fd);
  release_slot (id);
  return -1;
}

extern "C" int
meta_search_async_full (gint priority, const gchar *query,
                        MetaSearchFunc callback, gpointer user_data,
                        GDestroyNotify notify)
{
  int id = query != NULL && callback != NULL
               ? start_search (priority, query, callback, user_data, notify)
               : -1;
  if (id < 0 && notify != NULL)
    notify (user_data);
  return id;
}

extern "C" int
meta_search_end_status (GError **error)
{
  if (!end_outcome.active || !end_outcome.failed)
    return 1;
  g_set_error_literal (error, META_ERROR, META_ERROR_FAILED,
                       end_outcome.reason);
  return 0;
}

extern "C" int
meta_search_columns (const gchar *query, MetaColumnsFunc callback,
                     gpointer user_data, GError **error)
{
  if (query == NULL || callback == NULL)
    return 0;
  return storage_search_columns (query, callback, user_data, error);
}

extern "C" int
meta_search_cancel (gint search_id)
{
  if (search_id < 0 || search_id >= META_SEARCH_SLOTS)
    return search_id;

  pthread_mutex_lock (&search_lock);
  SearchRun *run = current_run;
  /* Never a search some other process started, a parent's included. */
  if (search_ids[search_id].state != SLOT_TAKEN || run == NULL
      || run->id != search_id || run_inherited (run))
    {
      pthread_mutex_unlock (&search_lock);
      return search_id;
    }
  run->cancelled = true;
  /* Through the pidfd, or by a pid not reaped while search_lock is held:
   * either way the signal reaches the search process or nobody. */
  kill_search_process (run->pid, run->pidfd);
  uint64_t one = 1;
  if (write (run->wake_fd, &one, sizeof one) < 0)
    {
      /* The counter cannot overflow from one write; the flag and the
       * killed child stop the reader anyway. */
    }

  /* Called from a callback of this search: the reader stops once the
   * callback returns; waiting here would wait for ourselves. */
  if (pthread_equal (pthread_self (), search_ids[search_id].thread))
    {
      pthread_mutex_unlock (&search_lock);
      return 0;
    }
  /* Otherwise wait until the reader has finished -- no callback runs
   * after we return, the child is reaped and the slot is free. */
  guint64 serial = run->serial;
  while (finished_serial < serial)
    pthread_cond_wait (&search_finished, &search_lock);
  pthread_mutex_unlock (&search_lock);
  return 0;
}
