package com.qor.vt.natives;

import static java.nio.charset.StandardCharsets.ISO_8859_1;
import static java.nio.file.LinkOption.NOFOLLOW_LINKS;
import static java.nio.file.attribute.PosixFilePermission.GROUP_WRITE;
import static java.nio.file.attribute.PosixFilePermission.OTHERS_WRITE;

import java.io.IOException;
import java.io.InputStream;
import java.net.JarURLConnection;
import java.net.URL;
import java.net.URLConnection;
import java.nio.file.DirectoryIteratorException;
import java.nio.file.DirectoryStream;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Locale;
import java.util.Set;
import java.util.jar.JarEntry;
import java.util.zip.CRC32;

/**
 * Loads the JNI libraries of the classes in this jar. An installed copy on {@code
 * java.library.path} wins ({@code System.loadLibrary}), so the packaged layouts keep their
 * libraries. Otherwise the copy the jar carries under {@code natives/<os>-<arch>/} is written to a
 * private directory and loaded from there with {@code System.load}. None of the libraries needs
 * another of ours, so the order in which the classes load them does not matter.
 *
 * <p>The directory is the one named by the system property {@code qor.natives.dir}, else by the
 * environment variable {@code QOR_NATIVES_DIR}; otherwise the first of these where a library both
 * extracts and loads: {@code $XDG_RUNTIME_DIR/qor-natives}, {@code
 * <java.io.tmpdir>/qor-natives-<uid>} and {@code ${XDG_CACHE_HOME:-~/.cache}/qor-natives} (on
 * Windows {@code %LOCALAPPDATA%\qor-natives} and {@code <java.io.tmpdir>\qor-natives}). A temporary
 * directory mounted noexec fails the load and the next location is tried.
 *
 * <p>Why extraction cannot be hijacked or torn: a directory in a shared place such as /tmp could be
 * created first by another user, who could then swap the file between its writing and its loading.
 * So the directory must be a real directory (not a symbolic link) owned by this user and writable
 * by nobody else, and no directory above it may let another user rename it away (owned by another
 * user, or writable by others without the sticky bit). Each file's name carries the SHA-256 of its
 * bytes, so two versions of the jar never load each other's library, and a file found under that
 * name is loaded only when its bytes still have that hash. A file is written under a temporary name
 * and renamed into place, so a JVM that starts meanwhile sees either no file or the whole file.
 */
public final class NativeLoader {
  private static final Set<String> loaded = new HashSet<>();
  private static final FileAttribute<?> OWNER_ONLY =
      PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------"));

  private NativeLoader() {}

  /**
   * Loads the library of the given name (as for {@code System.loadLibrary}) once per class loader.
   *
   * @throws UnsatisfiedLinkError naming every location tried and why each failed
   */
  public static synchronized void load(String name) {
    if (loaded.contains(name)) {
      return;
    }
    List<String> tried = new ArrayList<>();
    try {
      System.loadLibrary(name);
      loaded.add(name);
      return;
    } catch (UnsatisfiedLinkError notInstalled) {
      refuseSecondCopy(notInstalled);
      tried.add("java.library.path: " + notInstalled.getMessage());
    }
    String file = System.mapLibraryName(name);
    String entry = "natives/" + platform() + "/" + file;
    byte[] bytes = null;
    URL url = NativeLoader.class.getResource("/" + entry);
    if (url == null) {
      tried.add("the jar: no " + entry);
    } else {
      try {
        bytes = read(url);
      } catch (IOException unreadable) {
        tried.add("the jar: " + entry + ": " + unreadable);
      }
    }
    if (bytes != null) {
      String hash = sha256(bytes);
      for (Path dir : locations(tried)) {
        try {
          System.load(extract(privateDirectory(dir), hash, file, bytes).toString());
          loaded.add(name);
          return;
        } catch (UnsatisfiedLinkError failed) {
          refuseSecondCopy(failed);
          tried.add(dir + ": " + failed);
        } catch (IOException | RuntimeException failed) {
          tried.add(dir + ": " + failed);
        }
      }
    }
    throw new UnsatisfiedLinkError(
        "cannot load the native library " + name + "; tried " + String.join("; ", tried));
  }

  /**
   * The JVM gives a library to one class loader only. Another class loader's load must fail as it
   * would with System.loadLibrary, not load a second copy from the next location (or the jar's
   * copy instead of the installed one).
   */
  private static void refuseSecondCopy(UnsatisfiedLinkError failed) {
    if (String.valueOf(failed.getMessage()).contains("already loaded in another classloader")) {
      throw failed;
    }
  }

  /** The entry's bytes, whole: the jar's reader checks neither their size nor their CRC-32. */
  private static byte[] read(URL url) throws IOException {
    URLConnection connection = url.openConnection();
    connection.setUseCaches(false); // the jar is closed with the stream
    try (InputStream in = connection.getInputStream()) {
      byte[] bytes = in.readAllBytes();
      if (connection instanceof JarURLConnection) {
        JarEntry recorded = ((JarURLConnection) connection).getJarEntry();
        CRC32 crc = new CRC32();
        crc.update(bytes);
        if (bytes.length != recorded.getSize() || crc.getValue() != recorded.getCrc()) {
          throw new IOException("damaged: its size or CRC-32 is not the one the jar records");
        }
      }
      return bytes;
    }
  }

  /** The jar's folder for this JVM: linux-x86_64, windows-x86_64, windows-x86, ... */
  private static String platform() {
    String os = System.getProperty("os.name");
    os = os.startsWith("Windows") ? "windows" : os.toLowerCase(Locale.ROOT).replace(" ", "");
    String arch = System.getProperty("os.arch");
    if (arch.equals("amd64")) {
      arch = "x86_64";
    } else if (arch.matches("i[3-6]86")) {
      arch = "x86";
    }
    return os + "-" + arch;
  }

  private static boolean posix() {
    return FileSystems.getDefault().supportedFileAttributeViews().contains("posix");
  }

  private static List<Path> locations(List<String> tried) {
    List<Path> dirs = new ArrayList<>();
    String named = System.getProperty("qor.natives.dir", System.getenv("QOR_NATIVES_DIR"));
    if (named != null && !named.isEmpty()) {
      add(dirs, tried, named, "", false);
      return dirs;
    }
    String tmp = System.getProperty("java.io.tmpdir");
    if (!posix()) {
      add(dirs, tried, System.getenv("LOCALAPPDATA"), "qor-natives", true);
      add(dirs, tried, tmp, "qor-natives", false);
      return dirs;
    }
    add(dirs, tried, System.getenv("XDG_RUNTIME_DIR"), "qor-natives", true);
    add(dirs, tried, tmp, "qor-natives-" + uid(), false);
    // user.home is "?" for a uid without an entry in the user database.
    if (!add(dirs, tried, System.getenv("XDG_CACHE_HOME"), "qor-natives", true)) {
      add(dirs, tried, System.getProperty("user.home"), ".cache/qor-natives", true);
    }
    return dirs;
  }

  /**
   * Adds base/child, unless base is unset, or relative when it must be absolute (then ignored as
   * if unset), or names no path here (non-ASCII letters in a JVM without a locale: noted in tried).
   */
  private static boolean add(
      List<Path> dirs, List<String> tried, String base, String child, boolean absolute) {
    if (base == null || base.isEmpty()) {
      return false;
    }
    try {
      Path dir = Paths.get(base, child);
      if (absolute && !dir.isAbsolute()) {
        return false;
      }
      dirs.add(dir.toAbsolutePath());
      return true;
    } catch (InvalidPathException noPathHere) {
      tried.add(base + ": " + noPathHere);
      return false;
    }
  }

  /** Creates the directory (mode 0700) or accepts it as it is only when it is safely ours. */
  private static Path privateDirectory(Path dir) throws IOException {
    if (!posix()) {
      // Per-user places (the profile's local application data, the user's
      // own temporary directory); a link or junction there is still refused.
      Files.createDirectories(dir);
      BasicFileAttributes attributes =
          Files.readAttributes(dir, BasicFileAttributes.class, NOFOLLOW_LINKS);
      if (!attributes.isDirectory() || attributes.isOther()) {
        throw new IOException("not a plain directory (a link or junction?)");
      }
      return dir;
    }
    // Missing directories above are made 0700 too: under umask 000 they would
    // be writable by all, and then refused below.
    Path parent = Files.createDirectories(dir.getParent(), OWNER_ONLY).toRealPath();
    // Whoever may rename a directory above ours can put another in its
    // place between our checks and the load: its owner, when that is another
    // user (say a user's runtime directory that a root JVM inherited), or
    // anybody, when it is writable by others and not sticky.
    for (Path up = parent; up != null; up = up.getParent()) {
      int mode = (Integer) Files.getAttribute(up, "unix:mode");
      int owner = (Integer) Files.getAttribute(up, "unix:uid");
      if (owner != 0 && owner != uid()) {
        throw new IOException(up + " belongs to uid " + owner);
      }
      if ((mode & 022) != 0 && (mode & 01000) == 0) {
        throw new IOException(up + " is writable by other users and not sticky");
      }
    }
    dir = parent.resolve(dir.getFileName());
    try {
      Files.createDirectory(dir, OWNER_ONLY);
    } catch (FileAlreadyExistsException existing) {
      // Checked below like any directory we did not just create.
    }
    PosixFileAttributes attributes =
        Files.readAttributes(dir, PosixFileAttributes.class, NOFOLLOW_LINKS);
    if (!attributes.isDirectory()) {
      throw new IOException(attributes.isSymbolicLink() ? "a symbolic link" : "not a directory");
    }
    int owner = (Integer) Files.getAttribute(dir, "unix:uid", NOFOLLOW_LINKS);
    if (owner != uid()) {
      throw new IOException("owned by uid " + owner + ", not by this user (uid " + uid() + ")");
    }
    Set<PosixFilePermission> perms = attributes.permissions();
    if (perms.contains(GROUP_WRITE) || perms.contains(OTHERS_WRITE)) {
      throw new IOException(
          "writable by other users (" + PosixFilePermissions.toString(perms) + ")");
    }
    return dir;
  }

  /** The library under its hashed name in dir, written there unless already whole. */
  private static Path extract(Path dir, String hash, String file, byte[] bytes) throws IOException {
    Path lib = dir.resolve(hash + "-" + file);
    if (Files.isRegularFile(lib, NOFOLLOW_LINKS) && hash.equals(sha256(Files.readAllBytes(lib)))) {
      return lib;
    }
    removeStaleParts(dir);
    // Not Files.createTempFile: its helper fails for good once java.io.tmpdir names no path.
    Path part = dir.resolve(
        "." + file + "." + ProcessHandle.current().pid() + "." + System.nanoTime() + ".part");
    if (posix()) {
      Files.createFile(
          part, PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rw-------")));
    } else {
      Files.createFile(part);
    }
    try {
      Files.write(part, bytes);
      Files.move(part, lib, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
    } finally {
      Files.deleteIfExists(part);
    }
    return lib;
  }

  /**
   * Removes the temporary files that JVMs killed while writing left behind: a file is written in
   * well under a second, so one ten minutes old is nobody's.
   */
  private static void removeStaleParts(Path dir) {
    long stale = System.currentTimeMillis() - 10 * 60 * 1000;
    try (DirectoryStream<Path> parts = Files.newDirectoryStream(dir, ".*.part")) {
      for (Path part : parts) {
        if (Files.getLastModifiedTime(part, NOFOLLOW_LINKS).toMillis() < stale) {
          Files.deleteIfExists(part);
        }
      }
    } catch (IOException | DirectoryIteratorException notNow) {
      // Another JVM removed it first, or the next extraction will.
    }
  }

  private static Long effectiveUid;

  /**
   * The effective uid. On Linux from /proc/self/status: the JAAS helper needs a module a runtime
   * of java.base alone lacks, and it reports 0 for a uid without an entry in the user database.
   */
  private static long uid() {
    if (effectiveUid == null) {
      try {
        String status = new String(Files.readAllBytes(Paths.get("/proc/self/status")), ISO_8859_1);
        effectiveUid = Long.parseLong(status.split("\nUid:\\s+")[1].split("\\s+")[1]);
      } catch (IOException | RuntimeException notLinux) {
        effectiveUid = new com.sun.security.auth.module.UnixSystem().getUid();
      }
    }
    return effectiveUid;
  }

  private static String sha256(byte[] bytes) {
    try {
      StringBuilder hex = new StringBuilder();
      for (byte b : MessageDigest.getInstance("SHA-256").digest(bytes)) {
        hex.append(String.format("%02x", b));
      }
      return hex.toString();
    } catch (NoSuchAlgorithmException everyJvmHasIt) {
      throw new IllegalStateException(everyJvmHasIt);
    }
  }
}
