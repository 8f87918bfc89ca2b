from molvane.cli import main

raise SystemExit(main())
