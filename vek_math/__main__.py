import sys

from vek_math.cli import main

sys.exit(main())
