import sys

from refsieve_cli.cli import main

sys.exit(main())
