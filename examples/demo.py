"""A short tour of the package: what is built and loads."""

import importlib

import zudirivi as tvp

MODULES = ["_util", "_tvx", "_exception", "_core", "_propkit", "_arrayexpr", "_buildaid", "_batch"]


def main():
    print(f"zudirivi {tvp.__version__} from {tvp.__file__}")
    for name in MODULES:
        try:
            mod = importlib.import_module("zudirivi." + name)
        except ImportError as exc:
            print(f"  {name:<11} not available ({exc})")
            continue
        public = sorted(n for n in vars(mod) if not n.startswith("_"))
        shown = ", ".join(public[:8]) + (", ..." if len(public) > 8 else "")
        print(f"  {name:<11} loaded: {shown or '(no public names yet)'}")


if __name__ == "__main__":
    main()
