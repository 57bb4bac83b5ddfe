// Headless Chromium as the suite starts it: a fresh profile each time, removed on close.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import {chromium} from 'playwright-core';

import {chromiumPath} from './fixture.mjs';

// Without the background-networking switches Chromium keeps dialling out, and this closed
// network refuses it in ways that stall the profile.
const chromiumFlags = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];

// A browser context with `extraArgs` on Chromium's command line; close() ends it and removes
// its profile.
export async function launchBrowser(extraArgs = []) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'dralmin-chromium-'));
  try {
    const context = await chromium.launchPersistentContext(profile, {
      executablePath: chromiumPath,
      headless: true,
      chromiumSandbox: false,
      args: [...chromiumFlags, ...extraArgs],
    });
    return {
      context,
      async close() {
        await context.close();
        fs.rmSync(profile, {recursive: true, force: true});
      },
    };
  } catch (error) {
    fs.rmSync(profile, {recursive: true, force: true});
    throw error;
  }
}
