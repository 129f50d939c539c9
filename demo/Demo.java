import com.qor.vt.process.EnvUtilGlue;

/** The main job: for now, the server's environment as the process-control library reads it. */
public final class Demo {
  private Demo() {}

  public static void main(String[] args) {
    String[] entries = EnvUtilGlue.native_getentireenv();
    System.out.println("The server's environment, read by libprocctl ("
        + (entries == null ? 0 : entries.length) + " entries):");
    if (entries != null) {
      for (String entry : entries) {
        System.out.println("  " + entry);
      }
    }
    System.out.println("PATH through native_getenv: " + EnvUtilGlue.native_getenv("PATH"));
  }
}
