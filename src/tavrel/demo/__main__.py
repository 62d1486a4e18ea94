import sys

from tavrel.demo.scenario import main

sys.exit(main())
