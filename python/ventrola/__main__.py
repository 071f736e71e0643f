"""``python -m ventrola`` runs the ``ventrola`` command."""
import sys

from ventrola.cli import main

sys.exit(main())
