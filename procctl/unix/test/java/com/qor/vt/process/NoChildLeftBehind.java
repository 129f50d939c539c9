package com.qor.vt.process;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.util.List;
import java.util.Set;
import org.junit.jupiter.api.extension.AfterEachCallback;
import org.junit.jupiter.api.extension.BeforeEachCallback;
import org.junit.jupiter.api.extension.ExtensionContext;

/** Checks after each test that the JVM has the same children as before it, and no zombie. */
final class NoChildLeftBehind implements BeforeEachCallback, AfterEachCallback {
  private static final ExtensionContext.Namespace NS =
      ExtensionContext.Namespace.create(NoChildLeftBehind.class);

  @Override
  public void beforeEach(ExtensionContext context) {
    context.getStore(NS).put("children", Spawn.children());
  }

  @Override
  public void afterEach(ExtensionContext context) throws Exception {
    ProcctlProbe.overrideStartTimeout(0);
    assertEquals(context.getStore(NS).get("children", Set.class), Spawn.children());
    assertEquals(List.of(), Spawn.zombieChildren());
  }
}
