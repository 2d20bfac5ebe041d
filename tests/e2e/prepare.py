"""Run once before the end-to-end tests (a CTest fixture): builds the window
probe and makes the template Wine prefix that every test copies."""

import os
import sys

import e2e_support as e2e

if __name__ == "__main__":
    e2e.require(e2e.INSTALLER_STUB, e2e.SAMPLE_SAVER, e2e.SAVERPACK)
    os.makedirs(e2e.WORK, exist_ok=True)
    e2e.wineharness.build_probe(e2e.PROBE)
    e2e.wineharness.make_template(e2e.TEMPLATE)
    print("template prefix: " + e2e.TEMPLATE)
    sys.exit(0)
