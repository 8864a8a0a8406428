from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['ACTIONS', 'ChessEnv', 'MAX_THREADS', 'MCTS', 'MaterialSearch', 'PgnGame', 'PgnGames', 'SearchLeaves', 'State', 'UCT', 'VectorEnv', 'VectorStep', 'chess960_fen', 'read_pgn', 'replay_pgn', 'roll_outs', 'unpack']
class State:
    """
    A detached copy of a whole game (position, recorded history, action map, counters, repetition counts, move log), made by ChessEnv.save_state and put back by ChessEnv.restore_state. A plain value: copies are deep, == compares every field, equal States hash equal, and it pickles to compact checked bytes (about 2 bytes a move).
    """
    def __copy__(self) -> State:
        """
        A new State equal to this one (copies are deep).
        """
    def __deepcopy__(self, memo: typing.Any) -> State:
        """
        A new State equal to this one.
        """
    def __eq__(self, other: typing.Any) -> bool:
        """
        True when other is a State holding the same game, field by field; False otherwise.
        """
    def __getstate__(self) -> bytes:
        """
        The State as compact bytes: magic, format version, the game, a checksum.
        """
    def __hash__(self) -> int:
        """
        A hash of the whole value, equal for States that compare equal (a State changed later hashes anew).
        """
    def __init__(self) -> None:
        """
        An empty State (no pieces, no history); restoring it gives an empty board.
        """
    def __reduce__(self) -> tuple[typing.Any, tuple[typing.Any], bytes]:
        """
        For pickle: the State as compact bytes (format version, checksum); bytes that are damaged, cut short or of another format version raise ValueError when loaded.
        """
    def __repr__(self) -> str:
        """
        The scalar fields and the history length, one per line.
        """
    def __setstate__(self, state: bytes) -> None:
        """
        Makes a new State from the bytes of __getstate__ (pickle calls it); ValueError for bytes that are damaged, cut short or of another format version.
        """
    @property
    def bitboards(self) -> numpy.typing.NDArray[numpy.uint64]:
        """
        The 12 piece bitboards (P N B R Q K p n b r q k) as a new uint64 array; bit i is square i, 0 = a8.
        """
    @property
    def castle(self) -> int:
        """
        Castling rights, bits 1 white king side, 2 white queen side, 4 black king side, 8 black queen side (read-only).
        """
    @property
    def enpassant(self) -> int:
        """
        The square a double push just passed over (0 = a8 ... 63 = h1), 64 for none (read-only).
        """
    @property
    def move_index(self) -> dict[int, int]:
        """
        Action -> move word of the last legal-action listing (a new dict on every read).
        """
    @move_index.setter
    def move_index(self, value: dict[int, int]) -> None:
        ...
    @property
    def moves(self) -> list[int]:
        """
        The moves played since the episode started, one int each: source square (bits 0-5, 0 = a8, 63 = h1), target square (bits 6-11), kind promoted to (bits 12-14: 0 none, 1 knight, 2 bishop, 3 rook, 4 queen).
        """
    @moves.setter
    def moves(self, value: list[int]) -> None:
        ...
    @property
    def n_repititions(self) -> int:
        """
        The repetition value (count - 1) of the position recorded last.
        """
    @n_repititions.setter
    def n_repititions(self, value: int) -> None:
        ...
    @property
    def no_progress_count(self) -> int:
        """
        Plies since the last pawn move or capture, counting that move.
        """
    @no_progress_count.setter
    def no_progress_count(self, value: int) -> None:
        ...
    @property
    def occupancies(self) -> numpy.typing.NDArray[numpy.uint64]:
        """
        The occupied squares of white, black and both as a new uint64 array of 3.
        """
    @property
    def prev_n_repititions(self) -> int:
        """
        The repetition value of the position recorded before it.
        """
    @prev_n_repititions.setter
    def prev_n_repititions(self, value: int) -> None:
        ...
    @property
    def repetition_count(self) -> dict[int, int]:
        """
        Position hash -> times the position was recorded in the episode (a new dict on every read).
        """
    @repetition_count.setter
    def repetition_count(self, value: dict[int, int]) -> None:
        ...
    @property
    def side(self) -> int:
        """
        The side to move: 0 white, 1 black (read-only).
        """
    @property
    def start_fen(self) -> str:
        """
        The position the episode started from, with its full-move number, as FEN; set it with a FEN text (ValueError naming the field when it is faulty).
        """
    @start_fen.setter
    def start_fen(self, value: str) -> None:
        ...
    @property
    def state_history(self) -> list[list[list[int]]]:
        """
        The recorded positions, up to 8 entries of 14 planes of 64 ints, in ring order (a new list on every read; assign a whole new list to change it).
        """
    @state_history.setter
    def state_history(self, value: list[list[list[int]]]) -> None:
        ...
    @property
    def state_pos(self) -> int:
        """
        The ring cursor of state_history, 0 to 7.
        """
    @state_pos.setter
    def state_pos(self, value: int) -> None:
        ...
    @property
    def total_move_count(self) -> int:
        """
        The steps played since the episode started.
        """
    @total_move_count.setter
    def total_move_count(self, value: int) -> None:
        ...
class ChessEnv:
    """
    One game of chess as a reinforcement-learning episode: reset or load a position, read the legal actions (73 x 64 planes, action = plane * 64 + square), step one action at a time and get back (side to move, 119 observation planes, reward from white's side, done). Save and restore whole games, hash positions, play random roll-outs, read and write FEN, UCI, SAN and PGN, draw SVG pictures. Pickles and copies whole.
    """
    def __copy__(self) -> ChessEnv:
        """
        A new ChessEnv holding the same game and rules, independent of this one.
        """
    def __deepcopy__(self, memo: typing.Any) -> ChessEnv:
        """
        A new ChessEnv holding the same game and rules, independent of this one.
        """
    def __getstate__(self) -> bytes:
        """
        The game (as save_state holds it), the rules and the last outcome as compact bytes.
        """
    def __init__(self, rules: str = 'classic', *, chess960: bool = False, seed: int | None = None) -> None:
        """
        An empty board; call reset, load_fen, parse_fen or restore_state first. chess960=True plays Chess960 (Fischer Random): reset starts from one of the 960 arrays drawn uniformly (seed, a non-negative integer, makes the draws reproducible), castling follows the Chess960 rules and is the king's move onto its own rook, and FEN texts are read with X-FEN or Shredder-FEN castling fields. rules="classic" ends a game on the third occurrence of a position (counted by hash_state, which two positions with pieces swapped between squares can share) and after 50 plies counted from and including the last pawn move or capture; rules="fide" on the third occurrence of a position by FIDE identity (same pieces, side, castling rights and legal en-passant capture; counted under a Zobrist key with the positions compared), when the FIDE half-move clock reaches 100 (a checkmate on that ply still wins), and when neither side has mating material (lone kings, a single knight or bishop, bishops all on squares of one colour). Both end a game at once where FIDE lets a player claim the draw. rules="fide-strict" ends it only where the FIDE Laws do without a claim: on the fifth occurrence, when the clock reaches 150, and on insufficient material, counting as "fide" does. ValueError for any other rules.
        """
    def __reduce__(self) -> tuple[typing.Any, tuple[typing.Any], bytes]:
        """
        For pickle: the game (as save_state holds it), the rules and the last outcome as compact bytes; a loaded ChessEnv continues exactly as this one would. Bytes that are damaged, cut short or of another format version raise ValueError when loaded.
        """
    def __repr__(self) -> str:
        """
        ChessEnv(fen='...', rules='...'): the current position as FEN and the rules.
        """
    def __setstate__(self, state: bytes) -> None:
        """
        Makes a new ChessEnv from the bytes of __getstate__ (pickle calls it), continuing exactly as the pickled one would; ValueError for bytes that are damaged, cut short, of another format version, or holding a game restore_state refuses.
        """
    def _checkmate_or_stalemate(self) -> typing.Any:
        """
        "checkmate" or "stalemate" when the side to move has no legal move, None when it has one (and while no game was started): whether the game can go on from the current position by the rules of play, whatever its clock, repetitions or material (which the draw rules judge when a step reaches the position).
        """
    def _repr_html_(self) -> str:
        """
        What Jupyter shows for a ChessEnv: the episode so far in a viewer with a move list, buttons and the arrow keys (varnok.viewer).
        """
    def _repr_svg_(self) -> str:
        """
        The SVG picture Jupyter shows for a ChessEnv (svg() with its defaults).
        """
    def action_to_san(self, action: int) -> str:
        """
        The SAN text of a legal action of the current position; ValueError naming an illegal action.
        """
    def action_to_uci(self, action: int, chess960: bool | None = None) -> str:
        """
        The UCI text of a legal action of the current position; ValueError naming an illegal action. Castling is written as the game encodes it (king onto its destination, e1g1, in standard chess; king onto its rook, e1h1, in Chess960) unless chess960 chooses: True for king onto rook, False for king onto destination (in Chess960 set-ups where that text would name another move or none, as for a king on c1 castling queen side, the king onto its rook).
        """
    def fen(self, en_passant: str = 'standard', castling: str = 'x-fen') -> str:
        """
        The six-field FEN of the current position: the half-move clock counts the plies since the last pawn move or capture (under rules="classic" the no-progress count is one more once such a move was played), the full-move number counts on from the episode's start. en_passant="standard" writes the square passed over after every double push; "legal" only when an en-passant capture is legal (python-chess's default). In a Chess960 game castling="x-fen" writes KQkq for a side's outermost rook and the rook's file letter otherwise, "shredder" always the file letters (HAha); a standard game always writes KQkq.
        """
    def get_actions(self) -> list[list[int]]:
        """
        The legal-action mask as 73 lists of 64 ints (1 = legal); also rebuilds the action-to-move map.
        """
    def hash_state(self) -> int:
        """
        A 64-bit hash of the position (placement, side to move, en passant, castling) as an int 0 to 2**64 - 1.
        """
    def in_check(self) -> bool:
        """
        True when the side to move has a king and it is attacked.
        """
    def legal_actions(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        The legal action indices as a NumPy int64 array, in ascending order (the order of get_actions). Also rebuilds the action-to-move map, as get_actions does.
        """
    def legal_mask(self) -> numpy.typing.NDArray[numpy.bool]:
        """
        The legal actions as a NumPy bool array of shape (4672,): index plane * 64 + square, True = legal. Also rebuilds the action-to-move map, as get_actions does.
        """
    def legal_moves_san(self) -> list[str]:
        """
        The SAN texts of the legal actions in ascending action order (the order of get_actions and legal_moves_uci).
        """
    def legal_moves_uci(self) -> list[str]:
        """
        The UCI texts of the legal actions in ascending action order (the order of get_actions).
        """
    def load_fen(self, text: str) -> tuple[int, list[list[int]], int, int]:
        """
        Reads a FEN text strictly and starts a new episode from it exactly as reset does, with the FEN's half-move clock as the no-progress count and its full-move number; returns what reset returns. A faulty text raises ValueError naming the field and leaves the environment unchanged.
        """
    def moves_uci(self) -> list[str]:
        """
        The UCI texts of the moves played since the episode started (reset, load_fen or parse_fen).
        """
    def observation(self, dtype: str = 'float32') -> numpy.ndarray:
        """
        The observation of the current position as a new NumPy array: (119, 8, 8) of float32, int32 or uint8 (counters above 255 read 255), or (119,) uint64 with dtype="packed". The planes are those of the last result of reset, step or restore_state.
        """
    def outcome(self) -> typing.Any:
        """
        Why the last game ended: "checkmate", "stalemate", "repetition", "no_progress", "insufficient_material", "move_cap" (a roll_out stopped after 400 steps), or None while it goes on (also after reset, load_fen, parse_fen and restore_state) and while no game was started (an empty board).
        """
    def parse_fen(self, text: str) -> None:
        """
        Loads a position leniently (placement, side, castling, en passant; the clocks are ignored) without starting an episode. Returns None; TypeError for a text that is not a str.
        """
    def pgn(self, headers: dict[str, str] | None = None) -> str:
        """
        The episode as PGN text: the seven-tag roster ("?" where headers give nothing), the other headers, SetUp and FEN when the episode did not start from the initial position, and the moves in SAN. Without a Result header the result is what the game shows: 1-0 or 0-1 after mate, 1/2-1/2 after a stalemate or a draw by the rules, * otherwise. ValueError for a tag name that is no PGN symbol of at most 64 bytes, or a tag value that holds a control character or more than 65536 bytes (what a PGN reader keeps whole).
        """
    def play(self, action: int) -> tuple[int, int, int]:
        """
        The move of step(action), with the same rules, errors and effects, answering only (side to move, reward, done): no observation is built. Read it with observation() when needed. Before any game was started (an empty board) its ValueError says so.
        """
    def render(self) -> None:
        """
        Prints the board: letters on the C standard output, chess symbols through Python's print. Returns None.
        """
    def reset(self, *, position: int | None = None) -> tuple[int, list[list[int]], int, int]:
        """
        Starts an episode from the initial position. Returns (side, observation, 0, 0): side to move (0 white), the observation as 119 lists of 64 ints. With chess960=True it starts from a Chess960 array: position names it (0 to 959, Scharnagl's numbering, 518 the standard array), None draws the next one. position is keyword-only; ValueError for a number outside 0-959 or for position in a standard-chess ChessEnv.
        """
    def restore_state(self, state: State) -> tuple[int, list[list[int]], int, int]:
        """
        Puts a State back and returns (side, observation, 0, 0). ValueError, changing nothing, for a State it cannot use (state_pos outside 0-7, or not the number of history entries while there are fewer than 8; more than 8 history entries; an entry not 14 x 64; an action key outside 0-4671; a move log entry of no promotion kind). A game saved under rules that count repetitions and no progress the other way ("classic" against "fide" or "fide-strict") is counted again by this environment's rules; a State edited by hand is taken as it is.
        """
    def roll_out(self, seed: int | None = None) -> int:
        """
        Plays uniformly random legal actions until the episode ends or 400 steps have been played and returns the final reward (+1 white wins, -1 black wins, 0 otherwise). With seed (0 to 2**32 - 1) the game is reproducible; without, it is seeded from the operating system.
        """
    def san_to_action(self, text: str) -> int:
        """
        The action of a legal move given in SAN (usual variations accepted); ValueError naming a malformed, illegal or ambiguous text.
        """
    def save_state(self) -> State:
        """
        The whole game as a new, detached State.
        """
    def step(self, action: int) -> tuple[int, list[list[int]], int, int]:
        """
        Plays a legal action (plane * 64 + square). Returns (side, observation, reward, done): reward +1 / -1 when black / white is checkmated, done 1 when the game ended. ValueError("Invalid action") for an action that is not legal now, with the position unchanged; TypeError for a non-integer or one outside the signed 32-bit range.
        """
    def svg(self, size: int = 400, last_move: bool = True, check: bool = True, flipped: bool = False) -> str:
        """
        The board as an SVG picture (a str): size pixels square, file and rank labels, the last move's squares highlighted when last_move, the king in check marked when check, black at the bottom when flipped. ValueError for a size below 64.
        """
    def uci_to_action(self, text: str) -> int:
        """
        The action of a legal move given in UCI; ValueError naming a malformed or illegal text. Castling is read in either convention (e1g1 or e1h1) where the text names no other legal move.
        """
    def zobrist_hash(self) -> int:
        """
        The Polyglot Zobrist key of the position as an int 0 to 2**64 - 1, equal to python-chess's chess.polyglot.zobrist_hash (the key of Polyglot opening books): the en-passant file counts when a pawn of the side to move stands beside the pawn that has just advanced two squares.
        """
    @property
    def chess960(self) -> bool:
        """
        True when reset starts Chess960 games (the chess960 option).
        """
    @property
    def rules(self) -> str:
        """
        The draw rules, "classic", "fide" or "fide-strict".
        """
class VectorStep:
    """
    The arrays of one VectorEnv.reset or step. Unless the VectorEnv was made with copy=True they are read-only views that the next reset or step overwrites.
    """
    @property
    def done(self) -> numpy.ndarray:
        """
        bool (num_envs,): terminated or truncated (a new array)
        """
    @property
    def final_obs(self) -> numpy.ndarray:
        """
        The last observation of each game that ended in this step (rows where terminated or truncated); other rows hold stale data
        """
    @property
    def final_reason(self) -> numpy.ndarray:
        """
        int8: why the row's game ended: 1 checkmate, 2 stalemate, 3 repetition, 4 no progress, 5 insufficient material, 16 truncated; 0 where it goes on (varnok.Termination names them)
        """
    @property
    def final_reward(self) -> numpy.ndarray:
        """
        float32: the ended game's reward, 0 elsewhere
        """
    @property
    def legal_mask(self) -> numpy.ndarray:
        """
        bool (num_envs, 4672): True where an action is legal
        """
    @property
    def obs(self) -> numpy.ndarray:
        """
        Observations: (num_envs, 119, 8, 8), or (num_envs, 119) uint64 packed
        """
    @property
    def reward(self) -> numpy.ndarray:
        """
        float32 (num_envs,): the step's reward from white's side
        """
    @property
    def terminated(self) -> numpy.ndarray:
        """
        bool (num_envs,): the game ended by a rule of chess
        """
    @property
    def to_play(self) -> numpy.ndarray:
        """
        int8 (num_envs,): side to move in obs, 0 white, 1 black
        """
    @property
    def truncated(self) -> numpy.ndarray:
        """
        bool (num_envs,): the game reached max_steps plies
        """
class VectorEnv:
    """
    num_envs independent ChessEnv games stepped natively on a pool of worker threads, with results written into NumPy arrays. A game that ends is started again inside the same step; its last observation, reward and reason are in final_obs, final_reward and final_reason.
    """
    def __init__(self, num_envs: int, num_threads: int | None = None, seed: int | None = None, obs_dtype: str = 'float32', max_steps: int | None = None, copy: bool = False, rules: str = 'classic', *, chess960: bool = False) -> None:
        """
        num_threads defaults to the number of cores (never more than num_envs); seed (a non-negative integer) makes every game and every draw reproducible, for any num_threads; obs_dtype is "float32", "int32", "uint8" (counters saturate at 255) or "packed" (one uint64 word per plane, see varnok.unpack); max_steps truncates a game after that many plies; copy=True returns fresh arrays instead of views; rules is "classic", "fide" or "fide-strict", the draw rules of every game, as for ChessEnv; chess960=True starts every game (at reset and auto-reset) from a Chess960 array drawn uniformly from the game's own seeded draws, with Chess960 castling.
        """
    def random_actions(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        A uniformly random legal action per game, drawn from the environment's own seeded generator (int64, shape (num_envs,)).
        """
    def reset(self, seed: int | None = None) -> VectorStep:
        """
        Starts every game afresh (from the start positions, if set). With seed, every draw starts again from it.
        """
    def reset_row(self, row: int) -> None:
        """
        Starts one row's game afresh as an auto-reset does (from the start positions, if set, or a Chess960 array, drawn from the row's own seeded draws) and rewrites that row of the current result arrays.
        """
    def restore_state(self, row: int, state: State) -> None:
        """
        Puts a State (from a VectorEnv or a ChessEnv) into one row and rewrites that row of the current result arrays. A State restore_state refuses, or one whose game is over (a row must have a move to play), raises ValueError and changes nothing.
        """
    def save_state(self, row: int) -> State:
        """
        The whole game of one row as a State, exactly as ChessEnv.save_state gives it.
        """
    def set_start_positions(self, fens: collections.abc.Sequence[str]) -> None:
        """
        Every later reset and auto-reset starts each game from a position drawn uniformly (and reproducibly) from these FEN texts; an empty list means the initial position. A text that load_fen refuses, or a position whose game is already over, raises ValueError naming it, and nothing changes.
        """
    def step(self, actions: typing.Any, *, active: typing.Any = None, obs_out: typing.Any = None) -> VectorStep:
        """
        Plays one action per game (an integer array of shape (num_envs,), numbered as ChessEnv.step numbers them). Every row is checked first: an illegal action raises ValueError naming the row and the action, and then no game has moved. active (a bool array of shape (num_envs,)) lets the rows where it is False sit the step out: their games, observations, masks and to_play stay, their reward, terminated, truncated and final entries are 0, and their actions are not read (two players taking turns in different games step the games where each is to move). obs_out (a writeable C-contiguous array of the observations' dtype and shape (num_envs, ...)) receives every row's new observation, written by the worker threads while each row is in their cache, and is the result's obs: a caller that keeps each step's observations (a replay buffer row, a learner holding the last one) skips a copy.
        """
    def step_async(self, actions: typing.Any, *, active: typing.Any = None) -> None:
        """
        Starts step(actions, active=active) on the worker threads and returns at once; step_wait() returns its result. Any other call before step_wait raises RuntimeError.
        """
    def step_wait(self) -> VectorStep:
        """
        Waits for the step started by step_async and returns its result.
        """
    @property
    def chess960(self) -> bool:
        """
        True when games start from Chess960 arrays (the chess960 option).
        """
    @property
    def max_steps(self) -> typing.Any:
        """
        The plies after which a game is truncated, or None for no limit.
        """
    @property
    def num_envs(self) -> int:
        """
        The number of games.
        """
    @property
    def num_threads(self) -> int:
        """
        The number of worker threads.
        """
    @property
    def obs_dtype(self) -> str:
        """
        The observation format: "float32", "int32", "uint8" or "packed".
        """
    @property
    def rules(self) -> str:
        """
        The draw rules of every game, "classic", "fide" or "fide-strict".
        """
class PgnGame:
    """
    One game read from PGN.
    """
    @property
    def actions(self) -> list[int]:
        """
        The action index of each mainline move, each in the position before it.
        """
    @property
    def checkmate(self) -> bool:
        """
        Whether the game ends in checkmate: its last position (after the last move read) is mate.
        """
    @property
    def headers(self) -> dict[str, str]:
        """
        The tag pairs as a dict, in file order (a repeated tag keeps its last value). Values are decoded as UTF-8 with bytes that are no UTF-8 (a Latin-1 file) replaced by U+FFFD, as python-chess does.
        """
    @property
    def line(self) -> int:
        """
        The line (from 1) where the game starts.
        """
    @property
    def offset(self) -> int:
        """
        The byte offset (from 0) in the source (decompressed, for a compressed file) of the game's first tag or move: reading from there to the next game's offset gives exactly this game.
        """
    @property
    def result(self) -> str:
        """
        The result token ("1-0", "0-1", "1/2-1/2", "*"); without one, the Result tag's value when it is one of these; else "".
        """
    @property
    def start_fen(self) -> str:
        """
        The FEN of the start position (the FEN tag's, else the initial position).
        """
    @property
    def uci(self) -> list[str]:
        """
        The mainline moves in UCI.
        """
class PgnGames:
    """
    The games of a PGN source, read one at a time.
    """
    def __iter__(self) -> PgnGames:
        """
        The games themselves (an iterator).
        """
    def __next__(self) -> PgnGame:
        """
        The next game as a PgnGame; StopIteration at the end, ValueError for a broken game with errors="raise".
        """
class SearchLeaves:
    """
    The leaves of one MCTS.select, one row per leaf, rows grouped by tree in tree order. Pass the network's output for exactly these rows to MCTS.expand. Unless the MCTS was made with copy=True the arrays are read-only views that the next select overwrites.
    """
    def __len__(self) -> int:
        """
        The number of leaves (rows) handed out.
        """
    @property
    def legal_mask(self) -> numpy.ndarray:
        """
        bool (L, 4672): True where an action is legal at the leaf
        """
    @property
    def obs(self) -> numpy.ndarray:
        """
        Observations: float32 (L, 119, 8, 8) (or the MCTS's obs_dtype; packed: uint64 (L, 119)), as the vector environment writes them
        """
    @property
    def tree(self) -> numpy.ndarray:
        """
        int32 (L,): the tree each row belongs to
        """
class MCTS:
    """
    num_trees independent search trees grown together: select() hands out the leaves of every tree as one batch for the network, expand() takes its priors and values back. PUCT everywhere (AlphaZero), or Gumbel-Top-k with sequential halving at the root (root_selection="gumbel"). Finished games met in a tree are scored natively and never sent. Trees are spread over worker threads; with a seed, results are the same for any num_threads.
    """
    def __init__(self, num_trees: int, *, c_puct: typing.SupportsFloat | typing.SupportsIndex = 1.25, c_base: typing.SupportsFloat | typing.SupportsIndex | None = None, c_init: typing.SupportsFloat | typing.SupportsIndex = 1.25, dirichlet_alpha: typing.SupportsFloat | typing.SupportsIndex = 0.3, dirichlet_fraction: typing.SupportsFloat | typing.SupportsIndex = 0.25, fpu_reduction: typing.SupportsFloat | typing.SupportsIndex = 0.0, fpu_value: typing.SupportsFloat | typing.SupportsIndex | None = None, virtual_loss: typing.SupportsFloat | typing.SupportsIndex = 1.0, node_budget: int = 100000, root_selection: str = 'puct', gumbel_considered: int = 16, gumbel_simulations: int = 64, gumbel_c_visit: typing.SupportsFloat | typing.SupportsIndex = 50.0, gumbel_c_scale: typing.SupportsFloat | typing.SupportsIndex = 0.1, obs_dtype: str = 'float32', num_threads: int | None = None, seed: int | None = None, copy: bool = False) -> None:
        """
        PUCT picks argmax Q(a) + c * P(a) * sqrt(N) / (1 + N(a)), N the parent's visits; c is c_puct, or log((1 + N + c_base) / c_base) + c_init when c_base is given. An unvisited child's Q is the parent's value minus fpu_reduction, or fpu_value when given. Each descent waiting for its value counts as virtual_loss lost visits on its path. Dirichlet(dirichlet_alpha) noise is mixed into the root's priors with weight dirichlet_fraction (0: none; PUCT only). root_selection="gumbel" plans gumbel_simulations root simulations over gumbel_considered actions (mctx's defaults c_visit=50, c_scale=0.1). node_budget bounds the nodes of each tree (a descent needing more is dropped; the root's children always have room). obs_dtype as for VectorEnv. seed makes all noise and sampling reproducible. select returns read-only views that the next select overwrites; copy=True returns fresh arrays instead.
        """
    def advance(self, actions: typing.Any) -> None:
        """
        Plays actions[t] (int array (num_trees,)) at the root of each tree and keeps the subtree below it as the new tree (its statistics reused, fresh root noise drawn); the rest is freed. An action that is not legal at a root, or a root not yet evaluated, raises ValueError and nothing changes.
        """
    def choose_actions(self, temperature: typing.SupportsFloat | typing.SupportsIndex = 0.0) -> numpy.typing.NDArray[numpy.int64]:
        """
        int64 (num_trees,): the move to play per tree: PUCT, the most visited (temperature 0) or drawn in proportion to visits ** (1 / temperature) from the tree's seeded generator; Gumbel, the winner of the sequential halving. -1 where the root has no priors yet.
        """
    def expand(self, priors: typing.Any, values: typing.Any, logits: bool = False) -> None:
        """
        The network's answer for the rows of the last select: priors (L, 4672), probabilities (logits=False; non-negative, normalised over the legal actions) or logits (logits=True; softmax over the legal actions), illegal entries ignored; values (L,) for each leaf's side to move, -1 to 1 (as float32). Bad input (shape, NaN, negative priors, values outside -1 to 1) raises TypeError or ValueError and changes nothing; the round stays open.
        """
    def finished(self) -> numpy.typing.NDArray[numpy.bool]:
        """
        bool (num_trees,): the game at the root is over (after advance); such a tree gives no leaves
        """
    def node_counts(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        int64 (num_trees,): nodes in use per tree (at most node_budget)
        """
    def policy(self) -> numpy.typing.NDArray[numpy.float32]:
        """
        float32 (num_trees, 4672): the improved policy, a training target: visit shares (PUCT) or softmax(logits + sigma(completed Q)) (Gumbel); zeros where the root has no priors yet
        """
    def principal_variation(self, tree: int = 0, max_plies: int = 32) -> numpy.typing.NDArray[numpy.int64]:
        """
        int64 (at most max_plies,): the line tree expects from its root: the move choose_actions(0) plays, then at each node the most visited child (a proved win first, with the solver), while one was visited. Empty before the root has priors (MCTS) or any simulation (UCT). IndexError for a tree outside 0 to num_trees - 1.
        """
    def root_noise(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        float64 (num_trees, 4672): the noise of each root on its legal actions: the Dirichlet draw mixed into the priors (PUCT) or the Gumbel draw added to the logits (Gumbel); 0 elsewhere
        """
    def root_values(self) -> numpy.typing.NDArray[numpy.float32]:
        """
        float32 (num_trees,): the mean value backed up at each root, for its side to move (a finished root: its result)
        """
    def select(self, leaves_per_tree: int = 1) -> SearchLeaves:
        """
        Makes leaves_per_tree descents in every tree and returns the new leaves (SearchLeaves). A descent that ends in a finished game is backed up at once; one that meets a leaf already taken this round, or needs more nodes than node_budget, is dropped; so a tree may give fewer rows. RuntimeError while the last select waits for expand.
        """
    def set_roots(self, roots: typing.Any, trees: list[int] | None = None, rules: str | None = None, *, rows: list[int] | None = None) -> None:
        """
        Starts a new tree per root: roots is a VectorEnv (its current games, read in place; with rows, the games of those rows in that order), or a list of State, ChessEnv or FEN text, one per tree, or one per index in trees (then only those trees restart). A finished game raises ValueError and nothing changes. The search plays by each root's draw rules: a ChessEnv's or the VectorEnv's own, rules ("classic" by default, "fide" or "fide-strict") for States and FEN texts; rules naming other rules than a ChessEnv or VectorEnv root has raises ValueError. Any round waiting for expand is dropped.
        """
    def visit_counts(self) -> numpy.typing.NDArray[numpy.int32]:
        """
        int32 (num_trees, 4672): completed visits of each root action
        """
    @property
    def draws(self) -> bytes:
        """
        The state of the search's seeded draws, as bytes: a search of the same kind and size given them makes the same choices from the same roots as this one from here on (copy and pickle use it).
        """
    @draws.setter
    def draws(self, arg1: bytes) -> None:
        ...
    @property
    def num_threads(self) -> int:
        """
        The number of worker threads.
        """
    @property
    def num_trees(self) -> int:
        """
        The number of trees searched together.
        """
    @property
    def obs_dtype(self) -> str:
        """
        The format of the leaves' observations: "float32", "int32", "uint8" or "packed".
        """
    @property
    def round_open(self) -> bool:
        """
        True between a select and its expand
        """
class UCT:
    """
    Plain UCT without a network: a leaf's value is one seeded native random roll-out, children are chosen by UCB1 (every unvisited child first). With solver=True proved results (mates) are passed up the tree (MCTS-Solver), so short mates are found exactly.
    """
    def __init__(self, num_trees: int, *, exploration: typing.SupportsFloat | typing.SupportsIndex = 1.4142135623730951, node_budget: int = 200000, solver: bool = True, num_threads: int | None = None, seed: int | None = None) -> None:
        """
        exploration is c in Q + c * sqrt(ln N / N(a)); node_budget bounds each tree (beyond it leaves are rolled out unexpanded; the root's children always have room); seed makes the roll-outs reproducible for any num_threads.
        """
    def best_actions(self) -> numpy.typing.NDArray[numpy.int64]:
        """
        int64 (num_trees,): a proved win if any, else the most visited root action; -1 before any simulation
        """
    def choose_actions(self, temperature: typing.SupportsFloat | typing.SupportsIndex = 0.0) -> numpy.typing.NDArray[numpy.int64]:
        """
        int64 (num_trees,): the move to play per tree: best_actions at temperature 0, else drawn in proportion to visits ** (1 / temperature) from the tree's seeded generator (as MCTS.choose_actions draws); -1 before any simulation.
        """
    def principal_variation(self, tree: int = 0, max_plies: int = 32) -> numpy.typing.NDArray[numpy.int64]:
        """
        int64 (at most max_plies,): the line tree expects from its root: the move choose_actions(0) plays, then at each node the most visited child (a proved win first, with the solver), while one was visited. Empty before the root has priors (MCTS) or any simulation (UCT). IndexError for a tree outside 0 to num_trees - 1.
        """
    def root_values(self) -> numpy.typing.NDArray[numpy.float32]:
        """
        float32 (num_trees,): each root's value for its side to move (+1 / -1 when proved)
        """
    def run(self, simulations: int) -> numpy.typing.NDArray[numpy.int32]:
        """
        Runs simulations more per tree (a tree whose root is proved stops) and returns how many each ran (int32 (num_trees,)).
        """
    def set_roots(self, roots: typing.Any, rules: str | None = None, *, rows: list[int] | None = None) -> None:
        """
        Starts a new tree per root (a VectorEnv, or with rows the games of those of its rows, or a list of State, ChessEnv or FEN text, one per tree). A finished game raises ValueError and nothing changes. Draw rules as in MCTS.set_roots.
        """
    def solved(self) -> numpy.typing.NDArray[numpy.bool]:
        """
        bool (num_trees,): the root's result is proved (root_values then holds it)
        """
    def visit_counts(self) -> numpy.typing.NDArray[numpy.int32]:
        """
        int32 (num_trees, 4672): visits of each root action
        """
    @property
    def draws(self) -> bytes:
        """
        The state of the search's seeded draws, as bytes: a search of the same kind and size given them makes the same choices from the same roots as this one from here on (copy and pickle use it).
        """
    @draws.setter
    def draws(self, arg1: bytes) -> None:
        ...
    @property
    def num_trees(self) -> int:
        """
        The number of trees searched together.
        """
class MaterialSearch:
    """
    Fixed-depth alpha-beta on material alone (pawn 100, knight 320, bishop 330, rook 500, queen 900), with checkmate and stalemate found at every node searched and the root's moves judged by the game's draw rules. Among equally scored moves one is drawn from the seeded generator.
    """
    def __init__(self, depth: int = 1, *, seed: int = 0) -> None:
        """
        depth: plies searched (1 to 8); seed: the tie-break generator's seed.
        """
    def choose(self, roots: typing.Any, rules: str | None = None, *, rows: list[int] | None = None) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[numpy.int32], numpy.typing.NDArray[numpy.int64]]:
        """
        (actions int64 (n,), scores int32 (n,), nodes int64 (n,)) for roots as MCTS.set_roots takes them (a VectorEnv, with rows the games of those of its rows, or a sequence of State, ChessEnv or FEN text; States and FEN texts are played by rules, "classic" when not given): the move chosen, its score in centipawns for the side to move (from 29000 up: mate in (30002 - score) // 2 moves; from -29000 down: mated), and the positions searched. A finished game raises ValueError naming the root.
        """
    def reseed(self, seed: int) -> None:
        """
        Starts the tie-break generator again from seed.
        """
    def think(self, root: typing.Any, rules: str | None = None, *, nodes: int = 0, seconds: typing.SupportsFloat | typing.SupportsIndex | None = None, stop: typing.Any = None, report: typing.Any = None) -> tuple[int, int, int, int]:
        """
        (action, score, nodes, depth) for one root (a State, ChessEnv or FEN text), searched one ply deeper at a time up to the set depth, for a player on a clock: the choice of the deepest depth searched whole before the search ended. It ends after nodes positions (0: no budget), after seconds, or once stop.is_set() (stop: any object with is_set(), such as threading.Event, asked every few milliseconds). Depth 1 is always searched whole. Reaching the set depth, it chooses as choose does; a mate found ends it early. The score is as choose gives it. report, when given, is called with (action, score, nodes, depth) as each depth is searched whole: that depth's score and the first of its best moves in action order (the tie among them is drawn at the end), and the positions searched so far. An error that stop or report raises ends the search and is raised here.
        """
    @property
    def depth(self) -> int:
        """
        Plies searched.
        """
    @property
    def draws(self) -> bytes:
        """
        The state of the search's seeded draws, as bytes: a search of the same kind and size given them makes the same choices from the same roots as this one from here on (copy and pickle use it).
        """
    @draws.setter
    def draws(self, arg1: bytes) -> None:
        ...
def _pgn_cuts(source: typing.Any, every_bytes: int) -> tuple[numpy.typing.NDArray[numpy.int64], int, int]:
    """
    Where to cut a PGN source into pieces of whole games: (cuts, games, size), the offset of the first game and then of the first game starting at least every_bytes after the last cut (int64 array), the number of games, and the bytes of the source (decompressed). Games are found by the reader's own tokenizer, so a cut never falls inside a comment or a variation; moves are not read.
    """
def chess960_fen(number: int) -> str:
    """
    The FEN of Chess960 (Fischer Random) array number 0 to 959 by Scharnagl's numbering (518 is the standard array), with all four castling rights written KQkq (X-FEN). ValueError for any other number.
    """
def read_pgn(source: typing.Any, errors: str = 'skip') -> PgnGames:
    """
    Streams the games of a PGN source: a str that holds a newline or starts with "[" is the PGN text itself; any other str, or an os.PathLike, is the path of a file (read in chunks, any size, with the interpreter lock released: a FIFO's writer may be a thread of this process; a path ending in .zst, .gz or .bz2 is decompressed as it streams). A game that cannot be read whole (a bad FEN tag, an illegal or unreadable move, a null move) is skipped with errors="skip", or raises ValueError with its line number with errors="raise". A source that gives no game at all warns (UserWarning) when the iterator ends.
    """
def replay_pgn(source: typing.Any, obs_dtype: str = 'packed', errors: str = 'skip', rules: str = 'classic') -> dict[str, numpy.ndarray]:
    """
    Replays the games of a PGN source (as read_pgn takes it) natively into NumPy arrays, one row per position before a move: "obs" the observation a VectorEnv gives there ((n, 119) uint64 packed, or (n, 119, 8, 8) float32), "action" the action played (int32), "result" the game's result from white's side (int8: +1, -1, 0 for a draw or no result), "game" the game's index among the games kept and "ply" the plies played before it (int32). Broken games are handled as errors says (as in read_pgn). rules ("classic", "fide" or "fide-strict") is how the observations count no progress and repetitions, as in a VectorEnv of those rules; every move is replayed. A source that gives no game warns (UserWarning).
    """
def roll_outs(states: collections.abc.Sequence[State], repeats: int, seed: int | None = None, num_threads: int | None = None, rules: str = 'classic') -> numpy.typing.NDArray[numpy.int8]:
    """
    Plays repeats seeded random games from each State (as ChessEnv.roll_out plays them, under rules "classic", "fide" or "fide-strict") on worker threads and returns the results as an int8 array of shape (len(states), repeats). The same seed gives the same results for any num_threads.
    """
def unpack(packed: numpy.ndarray, dtype: str = 'int32') -> numpy.ndarray:
    """
    Unpacks packed observations (..., 119) uint64 into (..., 119, 8, 8) values, exactly the int32 observation (or float32 / uint8 with dtype; uint8 clamps counters to 0..255 as obs_dtype="uint8" does). A word that no observation holds (on a plane other than a piece plane, a value that is not a 32-bit integer sign-extended to 64 bits) raises ValueError naming the observation and the plane.
    """
ACTIONS: int = 4672
MAX_THREADS: int = 1024
