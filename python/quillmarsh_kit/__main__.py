"""`python -m quillmarsh_kit`: the same as the `quillmarsh` command."""

import sys

from .cli import main

sys.exit(main())
