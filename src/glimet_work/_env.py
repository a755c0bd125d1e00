"""The environment names the signers take: exactly "prod" selects the production signing
constant and every other value the default one, so a near miss such as "PROD" is refused."""


def near_prod(env: object) -> bool:
    """Whether `env` differs from "prod" only in letter case or spaces."""
    return isinstance(env, str) and env != "prod" and "".join(env.split()).lower() == "prod"


def near_prod_hint(env: str) -> str:
    return (
        f"{env!r} is not 'prod': only exactly 'prod' selects the production signing constant "
        "(any other value selects the default one); write prod"
    )
