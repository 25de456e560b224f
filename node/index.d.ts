// index.d.ts -- TypeScript declarations of the dostrel package.
/// <reference types="node" />
import { IncomingMessage, ServerResponse } from 'node:http';
import { Server as NetServer, Socket } from 'node:net';

export interface Limits {
  /** Most keys a request may announce, the content key included (10000). */
  maxKeys?: number;
  /** Most bytes of variable names and values, all together (1048576). */
  maxVariableBytes?: number;
  /** Largest request body in bytes (1073741824). */
  maxBodyBytes?: number;
}

export type RefusalReason =
  | 'bad-cookie' | 'unsupported-version' | 'too-many-keys' | 'missing-content-key'
  | 'variables-too-large' | 'body-too-large' | 'truncated' | 'timeout' | 'not-allowed';

export interface LogInfo {
  type: 'refused' | 'dropped' | 'handler-error' | 'response-timeout' | 'worker-exit' | 'shutdown-timeout' | 'worker-start-error';
  reason?: RefusalReason;
  detail?: string;
  peer?: string;
  error?: unknown;
  method?: string;
  url?: string;
  pid?: number;
  code?: number | null;
  signal?: string | null;
}

/** A function given one line (no line end) and its details, an object with error(), or false. */
export type Logger = ((line: string, info: LogInfo) => void) | { error(line: string): void } | false | null;

export interface ServerOptions extends Limits {
  /** Milliseconds for the whole link request to arrive, from the accept (30000); 0: no limit. */
  requestTimeout?: number;
  /** Milliseconds from a request's arrival to the end of its response (300000); past it the
   * connection is reset and one line logged; 0: no limit. */
  responseTimeout?: number;
  /** Milliseconds a stop signal (SIGTERM, SIGINT, SIGHUP) lets the requests in flight run
   * before their connections are reset and the process ends (30000). */
  shutdownTimeout?: number;
  /** Most connections at once; more are closed at the accept and logged (no limit). */
  maxConnections?: number;
  /** Peer addresses allowed to connect; every peer when absent. */
  allow?: string[];
  /** Where refusals and handler errors go: one line each to stderr by default. */
  logger?: Logger;
}

/** The request: a real http.IncomingMessage, plus the CGI variables it came from. */
export interface CgiRequest extends IncomingMessage {
  /** Every variable as received (bytes as latin1 characters), HTTP_PROXY left out. */
  cgi: Record<string, string>;
}

export type RequestListener = (req: CgiRequest, res: ServerResponse) => unknown;

export interface RefusalError extends Error {
  code: 'ERR_DOSTREL_REFUSED';
  reason: RefusalReason;
  peer: string;
}

export class Server extends NetServer {
  constructor(options?: ServerOptions, handler?: RequestListener);
  constructor(handler?: RequestListener);
  readonly limits: Required<Limits>;
  readonly requestTimeout: number;
  readonly responseTimeout: number;
  readonly shutdownTimeout: number;
  on(event: 'request', listener: RequestListener): this;
  on(event: 'clientError', listener: (err: RefusalError, socket: Socket) => void): this;
  on(event: string | symbol, listener: (...args: any[]) => void): this;
  once(event: 'request', listener: RequestListener): this;
  once(event: 'clientError', listener: (err: RefusalError, socket: Socket) => void): this;
  once(event: string | symbol, listener: (...args: any[]) => void): this;
}

export function createServer(options: ServerOptions, handler?: RequestListener): Server;
export function createServer(handler?: RequestListener): Server;

export interface ClusterOptions {
  /** Worker processes (the number of cores). */
  workers?: number;
  /** Milliseconds a stopping worker waits for its requests before it exits anyway (30000). */
  shutdownTimeout?: number;
  logger?: Logger;
}

export interface ClusterHandle {
  isPrimary: boolean;
  /** Stops gracefully, as SIGTERM does. */
  stop(): void;
}

export function cluster(options: ClusterOptions, start: () => NetServer | Promise<NetServer>): ClusterHandle;
export function cluster(start: () => NetServer | Promise<NetServer>): ClusterHandle;

export const DEFAULT_LIMITS: Readonly<Required<Limits>>;
